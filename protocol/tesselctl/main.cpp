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

MouseIdentity IdentityOf(const TesselNode& node) { return MouseIdentity{node.devnode, "Korvid Tessel", node.locationID}; }

std::vector<std::string> Nodes(const std::vector<TesselNode>& tessels) {
  std::vector<std::string> nodes;
  for (const TesselNode& node : tessels) nodes.push_back(node.devnode);
  return nodes;
}

// The attached mice, numbered as --device takes them; with --json each one's settings too.
int ListTessels(const Command& command) {
  if (command.simulated) {
    const MouseIdentity mouse = SimulatedMouseIdentity();
    if (!command.json) {
      std::cout << "1  " << mouse.node << "  " << mouse.name << ", state in " << DefaultSimulatedTesselStatePath() << "\n";
      return kExitOk;
    }
    Command show = command;
    show.action = Action::Show;
    return RunSimulated(show, DefaultSimulatedTesselStatePath(), Sleeper::Real(), std::cout, std::cerr);
  }
  const std::vector<TesselNode> nodes = EnumerateTessels();
  if (nodes.empty()) {
    std::cerr << "tesselctl: no Korvid Tessel attached\n";
    return kExitDeviceFailure;
  }
  int status = kExitOk;
  int number = 1;
  for (const TesselNode& node : nodes) {
    const MouseIdentity mouse = IdentityOf(node);
    if (!command.json) {
      std::cout << number++ << "  " << node.devnode << "  " << mouse.name << ", location "
                << FormatLocation(node.locationID) << "\n";
      continue;
    }
    std::string error;
    std::unique_ptr<UsbDeviceInterface> device = OpenTessel(node, &error);
    Readout readout;
    std::string what;
    if (device) {
      if (OSStatus s = ReadReadout(device.get(), Sleeper::Real(), readout, &what); s != noErr) {
        error = what + ": " + DescribeStatus(s);
      }
    }
    if (!error.empty()) status = kExitDeviceFailure;
    std::cout << FormatJson(mouse, error.empty() ? &readout : nullptr, error) << "\n";
  }
  return status;
}

int RunOnRealMouse(const Command& command) {
  const std::vector<TesselNode> nodes = EnumerateTessels();
  std::string error;
  const int index = SelectDevice(command.device, Nodes(nodes), &error);
  if (index < 0) {
    std::cerr << "tesselctl: " << error << (nodes.empty() ? " (use --simulated for the simulated mouse)" : "") << "\n";
    return kExitDeviceFailure;
  }
  const TesselNode& node = nodes[static_cast<std::size_t>(index)];
  std::unique_ptr<UsbDeviceInterface> device = OpenTessel(node, &error);
  if (!device) {
    std::cerr << "tesselctl: " << error << "\n";  // the reason names the node
    return kExitDeviceFailure;
  }
  return Run(command, device.get(), Sleeper::Real(), std::cout, std::cerr, IdentityOf(node));
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
    case Action::Version:
      std::cout << VersionText();
      return kExitOk;
    case Action::List:
      return ListTessels(command);
    default:
      break;
  }
  if (command.simulated) {
    std::string error;
    if (SelectDevice(command.device, {SimulatedMouseIdentity().node}, &error) != 0) {
      std::cerr << "tesselctl: " << error << "\n";
      return kExitDeviceFailure;
    }
    return RunSimulated(command, DefaultSimulatedTesselStatePath(), Sleeper::Real(), std::cout, std::cerr);
  }
  return RunOnRealMouse(command);
}
