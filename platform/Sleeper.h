// SPDX-License-Identifier: MIT
// All waiting in the system goes through a Sleeper, so tests run in virtual time.
#pragma once

#include <cstdint>
#include <functional>

namespace korvid {

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  // Blocks the calling thread for the given number of microseconds.
  virtual void SleepMicroseconds(std::uint32_t microseconds) = 0;

  // The process-wide sleeper that really sleeps.
  static Sleeper& Real();
};

class RealSleeper final : public Sleeper {
 public:
  void SleepMicroseconds(std::uint32_t microseconds) override;
};

// A sleeper that never blocks: it adds each request to a virtual clock and, if asked,
// calls a hook so a test can make things happen "while" the caller sleeps.
class VirtualSleeper final : public Sleeper {
 public:
  void SleepMicroseconds(std::uint32_t microseconds) override {
    totalMicroseconds_ += microseconds;
    ++calls_;
    if (onSleep_) onSleep_(microseconds);
  }
  std::uint64_t TotalMicroseconds() const { return totalMicroseconds_; }
  std::uint64_t Calls() const { return calls_; }
  void Reset() { totalMicroseconds_ = 0; calls_ = 0; }
  void OnSleep(std::function<void(std::uint32_t)> hook) { onSleep_ = std::move(hook); }

 private:
  std::uint64_t totalMicroseconds_ = 0;
  std::uint64_t calls_ = 0;
  std::function<void(std::uint32_t)> onSleep_;
};

}  // namespace korvid
