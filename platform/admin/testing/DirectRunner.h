// SPDX-License-Identifier: MIT
// A privileged runner for tests that run the real eraser: it runs the tool directly,
// with the caller's own rights.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "platform/admin/PrivilegedRunner.h"

namespace korvid {

class DirectRunner final : public PrivilegedRunner {
 public:
  OSStatus RunTool(const std::filesystem::path& tool, std::span<const std::string> arguments,
                   int& exitStatus) override {
    return SpawnAndWait(tool, arguments, exitStatus);
  }
};

}  // namespace korvid
