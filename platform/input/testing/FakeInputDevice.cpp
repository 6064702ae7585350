// SPDX-License-Identifier: MIT
#include "platform/input/testing/FakeInputDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace korvid {

FakeInputDevice::FakeInputDevice(bool pollable) {
  int fds[2];
  if (pollable && pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
  }
}

FakeInputDevice::~FakeInputDevice() {
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

void FakeInputDevice::Feed(std::span<const InputEvent> events) {
  pending_.insert(pending_.end(), events.begin(), events.end());
  Wake();
}

void FakeInputDevice::Unplug() {
  unplugged_ = true;
  Wake();
}

void FakeInputDevice::Wake() {
  if (wakeWrite_ < 0) return;
  const char byte = 1;
  (void)!write(wakeWrite_, &byte, 1);
}

// Leaves the descriptor readable exactly while something waits.
void FakeInputDevice::Settle() {
  if (wakeRead_ < 0) return;
  char buffer[64];
  while (read(wakeRead_, buffer, sizeof buffer) > 0) {
  }
  if (unplugged_ || !pending_.empty()) Wake();
}

IOReturn FakeInputDevice::Read(std::vector<InputEvent>& events) {
  if (unplugged_) return kIOReturnNoDevice;
  struct SettleOnExit {
    FakeInputDevice* self;
    ~SettleOnExit() { self->Settle(); }
  } settle{this};
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
