// SPDX-License-Identifier: MIT
#include "platform/process/testing/FakeProcessTable.h"

#include <algorithm>
#include <cstring>

namespace korvid {

OSStatus FakeProcessTable::GetNextProcess(ProcessSerialNumber& psn) {
  ++steps_;
  if (onStep_) onStep_(psn);
  if (psn.highLongOfPSN != 0) return paramErr;
  const auto next = processes_.upper_bound(psn.lowLongOfPSN);
  if (next == processes_.end()) {
    psn = {0, kNoProcess};
    return procNotFound;
  }
  psn = {0, next->first};
  return noErr;
}

OSStatus FakeProcessTable::GetProcessName(const ProcessSerialNumber& psn, ProcessName& name) {
  ++nameReads_;
  name[0] = 0;
  if (psn.highLongOfPSN != 0) return procNotFound;
  const std::uint32_t pid = psn.lowLongOfPSN == kCurrentProcess ? self_ : psn.lowLongOfPSN;
  if (const auto failure = nameFailures_.find(pid);
      failure != nameFailures_.end() && failure->second != noErr) {
    return failure->second;
  }
  const auto process = processes_.find(pid);
  if (process == processes_.end()) return procNotFound;
  const std::size_t n = std::min<std::size_t>(process->second.size(), 255);
  name[0] = static_cast<std::uint8_t>(n);
  std::memcpy(name.data() + 1, process->second.data(), n);
  return noErr;
}

OSStatus FakeProcessTable::SameProcess(const ProcessSerialNumber& a, const ProcessSerialNumber& b,
                                       bool& same) {
  same = false;
  const auto resolve = [this](const ProcessSerialNumber& psn) -> std::uint32_t {
    if (psn.highLongOfPSN != 0) return 0;
    return psn.lowLongOfPSN == kCurrentProcess ? self_ : psn.lowLongOfPSN;
  };
  const std::uint32_t pidA = resolve(a);
  const std::uint32_t pidB = resolve(b);
  if (pidA == kNoProcess || pidB == kNoProcess) return procNotFound;
  same = pidA == pidB;
  return noErr;
}

}  // namespace korvid
