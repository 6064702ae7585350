// SPDX-License-Identifier: MIT
// Pointing services of the Tessel driver.
//
// TesselPointing passes every event of the grabbed mouse to its clone unchanged, except
// the relative motion of each report (REL_X/REL_Y up to SYN_REPORT), which it scales by
// the acceleration curve chosen with "HIDMouseAcceleration".
// KernelPointing is the service of a mouse driven by the kernel module hid-korvid-tessel,
// which applies the same curve itself: it only writes the parameter to the module's
// attribute.
// RecordingPointing stands in for it on simulated mice: it only records what it is given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/AccelerationCurve.h"
#include "driver/IOKitStandIns.h"
#include "driver/PointingRegistry.h"
#include "platform/input/InputDevice.h"

namespace korvid {

class TesselPointing final : public IOHIPointing {
 public:
  explicit TesselPointing(std::unique_ptr<InputDevice> device);

  // The curve's parameter, used from the next motion report on.
  IOReturn SetAcceleration(std::int32_t parameter) override {
    accelerator_.SetParameter(parameter);
    return kIOReturnSuccess;
  }

  int PollFd() const { return device_->PollFd(); }
  // Moves every event waiting on the mouse to the clone. kIOReturnNoDevice once the
  // mouse has gone away.
  IOReturn Pump();
  // The event-handling step of Pump, for events already read.
  IOReturn Process(std::span<const InputEvent> events);

  std::int32_t Acceleration() const { return accelerator_.Parameter(); }

  // A report longer than this is not a mouse report: it goes through unscaled.
  static constexpr std::size_t kMaxReportEvents = 64;

 private:
  void FinishReport(const InputEvent& syn);

  std::unique_ptr<InputDevice> device_;
  MotionAccelerator accelerator_;
  std::vector<InputEvent> input_;   // reused by Pump
  std::vector<InputEvent> report_;  // events of the report being assembled
  std::vector<InputEvent> output_;  // events ready for the clone
};

// The kernel module that accelerates the Tessel, and its parameter attribute on the HID
// device (16.16 in decimal).
inline constexpr const char* kTesselKernelDriver = "hid-korvid-tessel";
inline constexpr const char* kTesselKernelAccelerationAttribute = "korvid_acceleration";

class KernelPointing final : public IOHIPointing {
 public:
  explicit KernelPointing(std::string attributePath) : attributePath_(std::move(attributePath)) {}

  // Writes the parameter to the attribute. kIOReturnNoDevice when the attribute is gone
  // (module unloaded, mouse unplugged), kIOReturnNotPermitted when this process may not
  // write it, kIOReturnIOError when it refuses the value (other failures to open it:
  // DeviceStatusFromErrno).
  IOReturn SetAcceleration(std::int32_t parameter) override;

  const std::string& AttributePath() const { return attributePath_; }

 private:
  std::string attributePath_;
};

}  // namespace korvid
