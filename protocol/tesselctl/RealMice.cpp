// SPDX-License-Identifier: MIT
#include "protocol/tesselctl/RealMice.h"

#include <string>
#include <vector>

#include "platform/usb/TesselDevices.h"

namespace korvid::tesselctl {
namespace {

MouseIdentity IdentityOf(const TesselNode& node) { return MouseIdentity{node.devnode, "Korvid Tessel", node.locationID}; }

}  // namespace

int ListRealMice(const Command& command, Sleeper& sleeper, std::ostream& out, std::ostream& err,
                 const PointerAcceleration* pointer) {
  const std::vector<TesselNode> nodes = EnumerateTessels();
  if (nodes.empty()) {
    err << "tesselctl: no Korvid Tessel attached (" << kSimulatedHint << ")\n";
    return kExitDeviceFailure;
  }
  int status = kExitOk;
  int number = 1;
  for (const TesselNode& node : nodes) {
    const MouseIdentity mouse = IdentityOf(node);
    if (!command.json) {
      out << number++ << "  " << node.devnode << "  " << mouse.name << ", location " << FormatLocation(node.locationID)
          << "\n";
      continue;
    }
    std::string error;
    std::unique_ptr<UsbDeviceInterface> device;
    Readout readout;
    std::string what;
    if (OpenTessel(node, device, &error) == kIOReturnSuccess) {
      if (OSStatus s = ReadReadout(device.get(), sleeper, readout, &what); s != noErr) {
        error = what + ": " + DescribeStatus(s);
      }
    }
    if (pointer != nullptr) readout.pointer = *pointer;
    if (!error.empty()) status = kExitDeviceFailure;
    out << FormatJson(mouse, error.empty() ? &readout : nullptr, error) << "\n";
  }
  return status;
}

int RunOnRealMouse(const Command& command, Sleeper& sleeper, std::ostream& out, std::ostream& err,
                   const PointerAcceleration* pointer) {
  const std::vector<TesselNode> nodes = EnumerateTessels();
  std::vector<std::string> devnodes;
  for (const TesselNode& node : nodes) devnodes.push_back(node.devnode);
  std::string error;
  const int index = SelectDevice(command.device, devnodes, &error);
  if (index < 0) {
    err << "tesselctl: " << error << "\n";
    return kExitDeviceFailure;
  }
  const TesselNode& node = nodes[static_cast<std::size_t>(index)];
  std::unique_ptr<UsbDeviceInterface> device;
  if (OpenTessel(node, device, &error) != kIOReturnSuccess) {
    err << "tesselctl: " << error << "\n";  // the reason names the node
    return kExitDeviceFailure;
  }
  return Run(command, device.get(), sleeper, out, err, IdentityOf(node), pointer);
}

}  // namespace korvid::tesselctl
