// SPDX-License-Identifier: MIT
// Finding and opening real Tessel mice on Linux (hidraw nodes found through libudev).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/usb/UsbDeviceInterface.h"

namespace korvid {

// One Tessel found among the hidraw nodes: the node of the mouse's interface 0 (the one
// that answers feature reports) and the identity of its USB device.
struct TesselNode {
  std::string devnode;      // e.g. "/dev/hidraw3"
  std::string syspath;      // sysfs path of the hidraw device
  std::uint16_t vendorID = 0;
  std::uint16_t productID = 0;
  std::uint16_t releaseNum = 0;
  std::uint32_t busPower = 0;    // in units of 2 mA, as the USB layer reports it
  std::uint32_t locationID = 0;  // bus number and port path
};

// Every Tessel currently attached, once per mouse, in enumeration order.
std::vector<TesselNode> EnumerateTessels();

// Opens the device handle of one node into `device`. On failure `device` is null and the
// status says why (kIOReturnNotPermitted: this account may not open the node;
// kIOReturnNoDevice: it has gone), with a one-line reason in `message` when one is asked
// for (naming the udev rule when permission is denied).
IOReturn OpenTessel(const TesselNode& node, std::unique_ptr<UsbDeviceInterface>& device,
                    std::string* message = nullptr);

}  // namespace korvid
