// SPDX-License-Identifier: MIT
// A grabbed pointer device and its clone: events are read from the mouse (which nobody
// else sees while it is grabbed) and written to a virtual device with the same
// capabilities and identifiers, which the desktop sees instead.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace korvid {

// Event types and codes the pointing service looks at (the kernel's input event codes).
inline constexpr std::uint16_t kEvSyn = 0x00;
inline constexpr std::uint16_t kEvRel = 0x02;
inline constexpr std::uint16_t kSynReport = 0;
inline constexpr std::uint16_t kSynDropped = 3;
inline constexpr std::uint16_t kRelX = 0x00;
inline constexpr std::uint16_t kRelY = 0x01;

struct InputEvent {
  std::int64_t timeUs = 0;  // when the device reported it, in microseconds
  std::uint16_t type = 0;
  std::uint16_t code = 0;
  std::int32_t value = 0;
  friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

class InputDevice {
 public:
  virtual ~InputDevice() = default;

  // Descriptor that becomes readable when events wait; -1 when the device has none.
  virtual int PollFd() const = 0;
  // Appends the events available now, without blocking, to `events`. A mouse that has
  // gone away answers kIOReturnNoDevice; nothing available is success with no events.
  virtual IOReturn Read(std::vector<InputEvent>& events) = 0;
  // Emits events through the clone, in order.
  virtual IOReturn Write(std::span<const InputEvent> events) = 0;
};

// Opens the evdev node `devnode`, grabs it exclusively and creates its clone, named
// after the mouse with kCloneNameSuffix, into `device`. On failure `device` is null and
// the status says why (DeviceStatusFromErrno: kIOReturnNoDevice, kIOReturnNotPermitted,
// kIOReturnBusy when another program holds the grab...), with a one-line reason in
// `message` when one is asked for.
IOReturn OpenGrabbedPointer(const std::string& devnode, std::unique_ptr<InputDevice>& device,
                            std::string* message = nullptr);

inline constexpr const char* kCloneNameSuffix = " (korvid-tessel-driver)";

}  // namespace korvid
