// SPDX-License-Identifier: MIT
// Where the Tessel's acceleration curve runs on this machine: in the kernel module
// hid-korvid-tessel (a Tessel's HID device is bound to it), in the driver daemon (it
// publishes a driver socket), or nowhere.
#pragma once

#include <string>

#include "driver/client/DriverProtocol.h"

namespace korvid {

enum class CurvePath {
  kKernelModule,  // hid-korvid-tessel scales the mouse's motion in the kernel
  kDriverDaemon,  // korvid-tessel-driver grabs the mouse and scales its clone's motion
  kNowhere,       // no driver serves the mouse: its motion is not accelerated by us
};

inline constexpr const char* kDefaultSysfsRoot = "/sys";

// The kernel module when a Tessel (a HID device named <bus>:3A7C:0D51.<n>) is bound to it
// under <sysfsRoot>/bus/hid/drivers/hid-korvid-tessel/; else the driver daemon when a
// driver socket exists in `runtimeDir`; else nowhere.
CurvePath FindCurvePath(const std::string& sysfsRoot = kDefaultSysfsRoot,
                        const std::string& runtimeDir = driverproto::kDefaultRuntimeDir);

}  // namespace korvid
