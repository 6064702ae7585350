// SPDX-License-Identifier: MIT
// The pane's record of one captured mouse: its device handle, the registration that tells
// the pane when it goes away, its identity and its settings as last read or set.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Status.h"
#include "platform/devices/DeviceWatcher.h"
#include "platform/usb/CapturedDeviceInfo.h"
#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {

// Settings as last read from the mouse or set by the controls.
struct CapturedDeviceState {
  std::uint16_t firmwareVers = 0;   // major × 256 + minor
  std::uint16_t pollingRate = 0;    // the mouse's polling-rate code
  std::uint16_t sensitivityX = 0;   // DPI: X step × 25 + 100
  std::uint16_t sensitivityY = 0;   // DPI: Y step × 25 + 100
  std::uint8_t independentXY = 0;   // 1 when the X and Y steps differ
  std::uint8_t lightOnWheel = 0;    // lighting bit 0
  std::uint8_t lightOnBattery = 0;  // lighting bit 1
  std::uint8_t lightOnDock = 0;     // always 0
};
static_assert(sizeof(CapturedDeviceState) == 12);

struct CapturedDeviceRec {
  // Handle for every mouse command; the record holds one reference, dropped with the
  // record. Also the key by which records are found.
  std::shared_ptr<UsbDeviceInterface> device;
  // The registration that delivers the mouse's termination message; 0 when there is none.
  DeviceNotification notification = 0;
  CapturedDeviceInfo info;
  CapturedDeviceState state;
  // The watched device the record stands for.
  DeviceService service = 0;
  // The state has been read from the mouse at least once.
  bool stateRead = false;
  // The settings as the mouse last confirmed them (read back, or a change it took): what
  // the controls return to when a change does not reach the mouse.
  CapturedDeviceState confirmed;
  // The last read's failure (noErr when it answered) and what it was reading then. A
  // mouse whose last read failed shows none of its settings.
  OSStatus readStatus = noErr;
  const char* readWhat = "";
  // The last change that did not reach the mouse (noErr once one does, or a read answers).
  OSStatus writeStatus = noErr;
  // Counts the changes queued for the mouse: a read queued before the latest change does
  // not overwrite what the user chose since.
  std::uint32_t changes = 0;
};

}  // namespace korvid
