// SPDX-License-Identifier: MIT
#pragma once

#include <deque>
#include <functional>
#include <utility>

#include "pane/devices/DeviceQueues.h"

namespace korvid {

// Holds every job until the test runs it: the order and the replacements can be seen
// while a job is "on the wire".
class ManualDeviceExecutor final : public DeviceExecutor {
 public:
  void Execute(std::function<void()> work, std::function<void()> done) override {
    jobs_.push_back({std::move(work), std::move(done)});
  }
  std::size_t Waiting() const { return jobs_.size(); }
  // Runs the oldest job and handles its result; false when none waits.
  bool RunNext() {
    if (jobs_.empty()) return false;
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    job.first();
    job.second();
    return true;
  }
  // Runs jobs (and those their results queue) until none waits.
  void RunAll() {
    while (RunNext()) {
    }
  }

 private:
  std::deque<std::pair<std::function<void()>, std::function<void()>>> jobs_;
};

}  // namespace korvid
