// SPDX-License-Identifier: MIT
// ProcessTable over /proc: the processes whose /proc entry belongs to the calling user.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/process/ProcessTable.h"

namespace korvid {

class LinuxProcessTable final : public ProcessTable {
 public:
  // `procRoot` is the proc file system's mount point.
  explicit LinuxProcessTable(std::string procRoot = "/proc");
  ~LinuxProcessTable() override;
  LinuxProcessTable(const LinuxProcessTable&) = delete;
  LinuxProcessTable& operator=(const LinuxProcessTable&) = delete;

  OSStatus GetNextProcess(ProcessSerialNumber& psn) override;
  OSStatus GetProcessName(const ProcessSerialNumber& psn, ProcessName& name) override;
  OSStatus SameProcess(const ProcessSerialNumber& a, const ProcessSerialNumber& b,
                       bool& same) override;
  ProcessSerialNumber CurrentProcess() const override;

  // The name of one process read from /proc, or false if it is gone or not the user's.
  bool ReadName(pid_t pid, std::string& name) const;

 private:
  void TakeSnapshot();
  bool ReadName(pid_t pid, std::string& name, bool ownerKnown) const;

  std::string procRoot_;
  int procFd_;
  uid_t uid_;
  pid_t self_;
  std::vector<pid_t> snapshot_;  // the user's pids at the start of the current walk
  pid_t namedPid_ = 0;           // the process last stepped to, and its name
  std::string namedName_;
};

}  // namespace korvid
