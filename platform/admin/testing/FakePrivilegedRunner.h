// SPDX-License-Identifier: MIT
// A privileged runner for tests: runs nothing, records each request and answers with the
// status (and, on noErr, the tool's exit status) it is told to.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/admin/PrivilegedRunner.h"

namespace korvid {

class FakePrivilegedRunner final : public PrivilegedRunner {
 public:
  OSStatus RunTool(const std::filesystem::path& tool, std::span<const std::string> arguments,
                   int& exitStatus) override {
    ++runs;
    lastTool = tool;
    lastArguments.assign(arguments.begin(), arguments.end());
    if (status == noErr) exitStatus = toolExit;
    return status;
  }

  int runs = 0;
  OSStatus status = noErr;
  int toolExit = 0;
  std::filesystem::path lastTool;
  std::vector<std::string> lastArguments;
};

}  // namespace korvid
