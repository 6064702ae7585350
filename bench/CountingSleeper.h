// SPDX-License-Identifier: MIT
// A real sleeper that counts the time it was asked to wait (from any thread), so a
// benchmark can set its wall time against the waits the mouse's protocol mandates.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Sleeper.h"

namespace korvid {

class CountingSleeper final : public Sleeper {
 public:
  void SleepMicroseconds(std::uint32_t microseconds) override {
    requested += microseconds;
    Sleeper::Real().SleepMicroseconds(microseconds);
  }
  std::atomic<std::uint64_t> requested{0};
};

}  // namespace korvid
