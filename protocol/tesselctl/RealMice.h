// SPDX-License-Identifier: MIT
// tesselctl on the mice attached to this machine: listing them and running a command on
// the one --device names.
#pragma once

#include <ostream>

#include "platform/Sleeper.h"
#include "protocol/tesselctl/Tesselctl.h"

namespace korvid::tesselctl {

// `list`: the attached mice, numbered as --device takes them (with --json each one's
// settings as well, and the pointer acceleration when given).
// With none attached: one line to `err`, with the --simulated hint, and kExitDeviceFailure.
int ListRealMice(const Command& command, Sleeper& sleeper, std::ostream& out, std::ostream& err,
                 const PointerAcceleration* pointer = nullptr);

// Runs a device command on the mouse --device names (the first by default).
int RunOnRealMouse(const Command& command, Sleeper& sleeper, std::ostream& out, std::ostream& err,
                   const PointerAcceleration* pointer = nullptr);

}  // namespace korvid::tesselctl
