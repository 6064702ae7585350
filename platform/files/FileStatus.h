// SPDX-License-Identifier: MIT
// Translation of the kernel's error numbers into the system's file statuses.
#pragma once

#include "platform/Status.h"

namespace korvid {

// The file status that stands for errno value `error` (0 gives noErr).
OSStatus StatusFromErrno(int error);

}  // namespace korvid
