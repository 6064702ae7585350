// SPDX-License-Identifier: MIT
// The one translation of the kernel's error numbers into file statuses (OSStatus), used by
// every file operation. (Devices have their own family: platform/DeviceStatus.h.)
#pragma once

#include "platform/Status.h"

namespace korvid {

// The file status that stands for errno value `error` (0 gives noErr).
OSStatus FileStatusFromErrno(int error);

}  // namespace korvid
