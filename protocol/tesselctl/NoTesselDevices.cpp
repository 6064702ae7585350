// SPDX-License-Identifier: MIT
// Stand-in for builds without the Linux USB layer: no real mouse is ever found.
#include "platform/usb/TesselDevices.h"

namespace korvid {

std::vector<TesselNode> EnumerateTessels() { return {}; }

std::unique_ptr<UsbDeviceInterface> OpenTessel(const TesselNode&, std::string* error) {
  if (error != nullptr) *error = "this build has no Linux USB support";
  return nullptr;
}

}  // namespace korvid
