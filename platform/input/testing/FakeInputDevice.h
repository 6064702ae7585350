// SPDX-License-Identifier: MIT
// Test support for the pointing service: an in-memory input device and event builders.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/input/InputDevice.h"

namespace korvid {

// An in-memory device for tests: events fed in are read out in batches, events written
// are recorded.
class FakeInputDevice final : public InputDevice {
 public:
  // With `pollable`, PollFd() is a descriptor that is readable while events wait or once
  // the device is unplugged, so an event loop can watch the fake like a real device.
  explicit FakeInputDevice(bool pollable = false);
  ~FakeInputDevice() override;
  FakeInputDevice(const FakeInputDevice&) = delete;
  FakeInputDevice& operator=(const FakeInputDevice&) = delete;

  int PollFd() const override { return wakeRead_; }
  IOReturn Read(std::vector<InputEvent>& events) override;
  IOReturn Write(std::span<const InputEvent> events) override;

  void Feed(std::span<const InputEvent> events);
  void Unplug();
  // Largest number of events one Read hands out (0: all that wait).
  void SetReadBatch(std::size_t batch) { batch_ = batch; }
  const std::vector<InputEvent>& Written() const { return written_; }
  void ClearWritten() { written_.clear(); }

 private:
  std::vector<InputEvent> pending_;
  std::size_t readPos_ = 0;
  std::vector<InputEvent> written_;
  std::size_t batch_ = 0;
  bool unplugged_ = false;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  void Wake();
  void Settle();
};

// Builders for fake event streams.
std::vector<InputEvent> MotionReport(std::int64_t timeUs, std::int32_t dx, std::int32_t dy);

}  // namespace korvid
