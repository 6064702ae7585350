// SPDX-License-Identifier: MIT
// The current user's processes, walked in ascending pid order.
//
// A process is addressed by its serial number {0, pid}. Its name is the base name of its
// executable (which may be longer than the kernel's 15-byte command name), held as a
// length-prefixed string.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Status.h"

namespace korvid {

struct ProcessSerialNumber {
  std::uint32_t highLongOfPSN = 0;
  std::uint32_t lowLongOfPSN = 0;
  friend bool operator==(const ProcessSerialNumber&, const ProcessSerialNumber&) = default;
};

// Special serial numbers: the start (and end) of a walk, and "the calling process".
inline constexpr std::uint32_t kNoProcess = 0;
inline constexpr std::uint32_t kSystemProcess = 1;
inline constexpr std::uint32_t kCurrentProcess = 2;

using ProcessName = std::array<std::uint8_t, 256>;  // length byte, then up to 255 bytes

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // Steps to the next process after `psn`, in ascending pid order; {0, kNoProcess} starts
  // the walk. At the end of the list returns procNotFound and sets `psn` to
  // {0, kNoProcess}. Processes that exit during the walk are skipped.
  virtual OSStatus GetNextProcess(ProcessSerialNumber& psn) = 0;

  // The process's name. procNotFound if there is no such process (any more).
  virtual OSStatus GetProcessName(const ProcessSerialNumber& psn, ProcessName& name) = 0;

  // Whether two serial numbers stand for the same process; {0, kCurrentProcess} stands for
  // the calling process (so a process whose pid is 2 cannot be told apart from it here;
  // compare with CurrentProcess() where that matters). procNotFound if either is not a
  // process serial number ({0, kNoProcess}, or a nonzero high word).
  virtual OSStatus SameProcess(const ProcessSerialNumber& a, const ProcessSerialNumber& b,
                               bool& same) = 0;

  // The calling process's own serial number.
  virtual ProcessSerialNumber CurrentProcess() const = 0;
};

}  // namespace korvid
