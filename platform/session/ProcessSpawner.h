// SPDX-License-Identifier: MIT
// Starting programs as independent processes.
#pragma once

#include <sys/types.h>

#include <filesystem>

#include "platform/Status.h"

namespace korvid {

class ProcessSpawner {
 public:
  virtual ~ProcessSpawner() = default;
  // Starts `executable` with no arguments in a session of its own, with this
  // process's environment. `pid` (optional) receives the new process's id.
  virtual OSStatus Spawn(const std::filesystem::path& executable, pid_t* pid) = 0;
};

// posix_spawn with default signal dispositions and an empty signal mask.
class PosixSpawner final : public ProcessSpawner {
 public:
  OSStatus Spawn(const std::filesystem::path& executable, pid_t* pid) override;
};

}  // namespace korvid
