// SPDX-License-Identifier: MIT
#include "platform/Sleeper.h"

#include <cerrno>
#include <ctime>

namespace korvid {

Sleeper& Sleeper::Real() {
  static RealSleeper sleeper;
  return sleeper;
}

void RealSleeper::SleepMicroseconds(std::uint32_t microseconds) {
  timespec left{static_cast<time_t>(microseconds / 1000000u),
                static_cast<long>(microseconds % 1000000u) * 1000L};
  // Sleep the whole time even when a signal interrupts us.
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

}  // namespace korvid
