#include "platform/input/InputDevice.h"

#include <algorithm>

namespace korvid {

IOReturn FakeInputDevice::Read(std::vector<InputEvent>& events) {
  if (unplugged_) return kIOReturnNoDevice;
  std::size_t available = pending_.size() - readPos_;
  if (batch_ != 0) available = std::min(available, batch_);
  events.insert(events.end(), pending_.begin() + static_cast<std::ptrdiff_t>(readPos_),
                pending_.begin() + static_cast<std::ptrdiff_t>(readPos_ + available));
  readPos_ += available;
  if (readPos_ == pending_.size()) {
    pending_.clear();
    readPos_ = 0;
  }
  return kIOReturnSuccess;
}

IOReturn FakeInputDevice::Write(std::span<const InputEvent> events) {
  if (unplugged_) return kIOReturnNoDevice;
  written_.insert(written_.end(), events.begin(), events.end());
  return kIOReturnSuccess;
}

std::vector<InputEvent> MotionReport(std::int64_t timeUs, std::int32_t dx, std::int32_t dy) {
  std::vector<InputEvent> report;
  if (dx != 0) report.push_back({timeUs, kEvRel, kRelX, dx});
  if (dy != 0) report.push_back({timeUs, kEvRel, kRelY, dy});
  report.push_back({timeUs, kEvSyn, kSynReport, 0});
  return report;
}

}  // namespace korvid
