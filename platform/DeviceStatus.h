// SPDX-License-Identifier: MIT
// The one translation of the kernel's error numbers into device statuses (IOReturn), used
// by every device the system opens: the mouse's hidraw node and its evdev node.
// (File operations have their own family: platform/files/FileStatus.h.)
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Status.h"

namespace korvid {

// kIOReturnSuccess for 0.
constexpr IOReturn DeviceStatusFromErrno(int error) {
  switch (error) {
    case 0:
      return kIOReturnSuccess;
    case ENODEV:
    case ENOENT:
    case ENXIO:
    case ESHUTDOWN:
      return kIOReturnNoDevice;
    case EACCES:
    case EPERM:
      return kIOReturnNotPermitted;
    case ETIMEDOUT:
      return kIOReturnTimeout;
    case EBUSY:
      return kIOReturnBusy;
    case EINVAL:
      return kIOReturnBadArgument;
    case ENOMEM:
      return kIOReturnNoMemory;
    case EPIPE:  // the mouse stalled the control request
    default:
      return kIOReturnIOError;
  }
}

// A device step that failed with errno value `error`: returns its status and, when asked
// for, the message "<what>: <the system's words for the error>".
inline IOReturn DeviceFailure(int error, std::string* message, const std::string& what) {
  return Failure(DeviceStatusFromErrno(error), message, what + ": " + std::strerror(error));
}

}  // namespace korvid
