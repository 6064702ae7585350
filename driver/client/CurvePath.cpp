// SPDX-License-Identifier: MIT
#include "driver/client/CurvePath.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "driver/TesselPointing.h"
#include "driver/client/DriverClient.h"
#include "platform/Identity.h"

namespace korvid {
namespace {

// A HID device's sysfs name is "<bus>:<vendor>:<product>.<instance>", in upper-case hex.
bool IsTesselHidName(const std::string& name) {
  unsigned bus = 0, vendor = 0, product = 0, instance = 0;
  int end = 0;
  if (std::sscanf(name.c_str(), "%4x:%4x:%4x.%4x%n", &bus, &vendor, &product, &instance, &end) != 4) return false;
  return static_cast<std::size_t>(end) == name.size() && vendor == kTesselVendorID && product == kTesselProductID;
}

bool KernelModuleBoundToTessel(const std::string& sysfsRoot) {
  namespace fs = std::filesystem;
  std::error_code error;
  // The driver's folder lists the devices bound to it, beside bind, unbind, new_id, module.
  for (fs::directory_iterator entry(fs::path(sysfsRoot) / "bus/hid/drivers" / kTesselKernelDriver, error), end;
       !error && entry != end; entry.increment(error)) {
    if (IsTesselHidName(entry->path().filename().string())) return true;
  }
  return false;
}

}  // namespace

CurvePath FindCurvePath(const std::string& sysfsRoot, const std::string& runtimeDir) {
  if (KernelModuleBoundToTessel(sysfsRoot)) return CurvePath::kKernelModule;
  if (!ListDriverSockets(runtimeDir).empty()) return CurvePath::kDriverDaemon;
  return CurvePath::kNowhere;
}

}  // namespace korvid
