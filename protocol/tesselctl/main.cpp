// tesselctl: show and change a Korvid Tessel's settings.
#include <iostream>
#include <string>
#include <vector>

#include "platform/usb/TesselDevices.h"
#include "protocol/tesselctl/Tesselctl.h"
#include "sim/SimulatedTessel.h"

namespace {

using namespace korvid;
using namespace korvid::tesselctl;

int ListTessels() {
  const std::vector<TesselNode> nodes = EnumerateTessels();
  for (const TesselNode& node : nodes) {
    char location[16];
    std::snprintf(location, sizeof location, "0x%08X", node.locationID);
    std::cout << node.devnode << "  Korvid Tessel, location " << location << "\n";
  }
  return kExitOk;
}

int RunOnRealMouse(const Command& command) {
  const std::vector<TesselNode> nodes = EnumerateTessels();
  if (nodes.empty()) {
    std::cerr << "tesselctl: no Korvid Tessel is attached (use --simulated for the simulated mouse)\n";
    return kExitDeviceFailure;
  }
  std::string error;
  std::unique_ptr<UsbDeviceInterface> device = OpenTessel(nodes.front(), &error);
  if (!device) {
    std::cerr << "tesselctl: cannot open " << nodes.front().devnode << ": " << error << "\n";
    return kExitDeviceFailure;
  }
  return Run(command, device.get(), Sleeper::Real(), std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseArguments(args);
  if (!parsed.ok) {
    std::cerr << "tesselctl: " << parsed.error << " (see tesselctl --help)\n";
    return kExitUsage;
  }
  const Command& command = parsed.command;
  switch (command.action) {
    case Action::Help:
      std::cout << UsageText();
      return kExitOk;
    case Action::List:
      return ListTessels();
    default:
      break;
  }
  if (command.simulated) {
    return RunSimulated(command, DefaultSimulatedTesselStatePath(), Sleeper::Real(), std::cout, std::cerr);
  }
  return RunOnRealMouse(command);
}
