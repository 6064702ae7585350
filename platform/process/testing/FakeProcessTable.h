// SPDX-License-Identifier: MIT
// An in-memory ProcessTable for tests: processes are added and removed by the test, and a
// hook can make processes vanish in the middle of a walk.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/process/ProcessTable.h"

namespace korvid {

class FakeProcessTable final : public ProcessTable {
 public:
  explicit FakeProcessTable(std::uint32_t selfPid = 100) : self_(selfPid) {}

  void Add(std::uint32_t pid, std::string name) { processes_[pid] = std::move(name); }
  void Remove(std::uint32_t pid) { processes_.erase(pid); }
  void Clear() { processes_.clear(); }
  // Makes GetProcessName fail with `status` for one pid (0 clears).
  void FailNameOf(std::uint32_t pid, OSStatus status) { nameFailures_[pid] = status; }
  // Called at every GetNextProcess with the serial number it starts from.
  void OnStep(std::function<void(const ProcessSerialNumber&)> hook) { onStep_ = std::move(hook); }

  std::size_t Steps() const { return steps_; }
  std::size_t NameReads() const { return nameReads_; }

  OSStatus GetNextProcess(ProcessSerialNumber& psn) override;
  OSStatus GetProcessName(const ProcessSerialNumber& psn, ProcessName& name) override;
  OSStatus SameProcess(const ProcessSerialNumber& a, const ProcessSerialNumber& b,
                       bool& same) override;
  ProcessSerialNumber CurrentProcess() const override { return {0, self_}; }

 private:
  std::uint32_t self_;
  std::map<std::uint32_t, std::string> processes_;
  std::map<std::uint32_t, OSStatus> nameFailures_;
  std::function<void(const ProcessSerialNumber&)> onStep_;
  std::size_t steps_ = 0;
  std::size_t nameReads_ = 0;
};

}  // namespace korvid
