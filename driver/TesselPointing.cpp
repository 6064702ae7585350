// SPDX-License-Identifier: MIT
#include "driver/TesselPointing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/DeviceStatus.h"

namespace korvid {

TesselPointing::TesselPointing(std::unique_ptr<InputDevice> device) : device_(std::move(device)) {
  input_.reserve(256);
  report_.reserve(kMaxReportEvents);
  output_.reserve(256);
}

IOReturn KernelPointing::SetAcceleration(std::int32_t parameter) {
  const int fd = ::open(attributePath_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return DeviceStatusFromErrno(errno);
  const std::string text = std::to_string(parameter) + "\n";
  const ssize_t written = ::write(fd, text.data(), text.size());
  ::close(fd);
  return written == static_cast<ssize_t>(text.size()) ? kIOReturnSuccess : kIOReturnIOError;
}

IOReturn TesselPointing::Pump() {
  input_.clear();
  IOReturn status = device_->Read(input_);
  IOReturn written = Process(input_);
  return status != kIOReturnSuccess ? status : written;
}

IOReturn TesselPointing::Process(std::span<const InputEvent> events) {
  output_.clear();
  for (const InputEvent& event : events) {
    if (event.type == kEvSyn && event.code == kSynReport) {
      FinishReport(event);
    } else if (event.type == kEvSyn && event.code == kSynDropped) {
      report_.clear();  // the report is incomplete; the device sends the lost state next
    } else {
      if (report_.size() == kMaxReportEvents) {
        output_.insert(output_.end(), report_.begin(), report_.end());
        report_.clear();
      }
      report_.push_back(event);
    }
  }
  if (output_.empty()) return kIOReturnSuccess;
  return device_->Write(output_);
}

void TesselPointing::FinishReport(const InputEvent& syn) {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  InputEvent* xEvent = nullptr;
  InputEvent* yEvent = nullptr;
  for (InputEvent& event : report_) {
    if (event.type != kEvRel) continue;
    if (event.code == kRelX && xEvent == nullptr) {
      xEvent = &event;
      dx = event.value;
    } else if (event.code == kRelY && yEvent == nullptr) {
      yEvent = &event;
      dy = event.value;
    }
  }
  if (xEvent != nullptr || yEvent != nullptr) {
    const MotionAccelerator::Motion motion = accelerator_.Apply(dx, dy, syn.timeUs);
    if (xEvent != nullptr) xEvent->value = motion.dx;
    if (yEvent != nullptr) yEvent->value = motion.dy;
  }
  output_.insert(output_.end(), report_.begin(), report_.end());
  output_.push_back(syn);
  report_.clear();
}

}  // namespace korvid
