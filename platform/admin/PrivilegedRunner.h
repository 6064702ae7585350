// SPDX-License-Identifier: MIT
// Running a tool with administrator rights, and asking the system to restart.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace korvid {

class PrivilegedRunner {
 public:
  virtual ~PrivilegedRunner() = default;
  // Runs `tool` with `arguments` (argv[1]...) as root and waits for it to end. On noErr,
  // `exitStatus` holds the tool's exit status (0..255; a tool killed by a signal gives
  // 128 + the signal). Failing to get the rights is errAuthorizationCanceled (the user
  // dismissed the request) or errAuthorizationDenied (refused, or no way to ask), and
  // the tool never ran; errAuthorizationToolExecuteFailure if nothing could be started.
  virtual OSStatus RunTool(const std::filesystem::path& tool, std::span<const std::string> arguments,
                           int& exitStatus) = 0;
};

// Through pkexec, which asks the session's polkit agent for an administrator's password
// (the polkit action com.korvid.tessel.uninstall allows exactly the eraser tool with its
// one argument). pkexec's own exit statuses 126 (dismissed) and 127 (not authorised or
// failed) are authorisation failures, never the tool's.
class PkexecRunner final : public PrivilegedRunner {
 public:
  explicit PkexecRunner(std::filesystem::path pkexec = "/usr/bin/pkexec") : pkexec_(std::move(pkexec)) {}
  OSStatus RunTool(const std::filesystem::path& tool, std::span<const std::string> arguments,
                   int& exitStatus) override;

 private:
  std::filesystem::path pkexec_;
};

// Starts `program` with `arguments` and waits for it: its exit status (128 + signal when
// killed). errAuthorizationToolExecuteFailure when it could not be started. `quiet` sends
// its output to /dev/null.
OSStatus SpawnAndWait(const std::filesystem::path& program, std::span<const std::string> arguments,
                      int& exitStatus, bool quiet = false);

class SystemRestarter {
 public:
  virtual ~SystemRestarter() = default;
  // Asks the system to restart the computer, letting it ask the user to confirm.
  virtual OSStatus Restart() = 0;
};

}  // namespace korvid
