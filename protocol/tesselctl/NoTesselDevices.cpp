// SPDX-License-Identifier: MIT
// Stand-in for builds without the Linux USB layer: no real mouse is ever found.
#include "platform/usb/TesselDevices.h"

namespace korvid {

std::vector<TesselNode> EnumerateTessels() { return {}; }

IOReturn OpenTessel(const TesselNode&, std::unique_ptr<UsbDeviceInterface>& device, std::string* message) {
  device.reset();
  return Failure(kIOReturnUnsupported, message, "this build has no Linux USB support");
}

}  // namespace korvid
