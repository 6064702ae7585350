// SPDX-License-Identifier: MIT
// tesselctl: show and change a Korvid Tessel's settings.
#include <QCoreApplication>

#include <iostream>
#include <string>
#include <vector>

#include "driver/client/CurvePath.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/files/FolderLocator.h"
#include "platform/files/PreferencesStore.h"
#include "platform/process/LinuxProcessTable.h"
#include "protocol/tesselctl/Acceleration.h"
#include "protocol/tesselctl/RealMice.h"
#include "protocol/tesselctl/Tesselctl.h"
#include "sim/SimulatedTessel.h"

int main(int argc, char** argv) {
  using namespace korvid;
  using namespace korvid::tesselctl;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseArguments(args);
  if (!parsed.ok) {
    std::cerr << "tesselctl: " << parsed.error << " (see tesselctl --help)\n";
    return kExitUsage;
  }
  const Command& command = parsed.command;
  if (command.action == Action::Help) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (command.action == Action::Version) {
    std::cout << VersionText();
    return kExitOk;
  }
  const PreferencesStore preferences = PreferencesStore::ForUser(FolderLocator::Default());
  if (command.action == Action::SetAcceleration) {
    // The user's setting for every Tessel, told to this session's helper over the bus.
    QCoreApplication application(argc, argv);
    LinuxProcessTable processes;
    QtDBusEventPort events;
    return RunAcceleration(command, preferences, processes, events, std::cout, std::cerr);
  }
  const PointerAcceleration pointer{StoredAcceleration(preferences), FindCurvePath()};
  if (!command.simulated) {
    if (command.action == Action::List) return ListRealMice(command, Sleeper::Real(), std::cout, std::cerr, &pointer);
    return RunOnRealMouse(command, Sleeper::Real(), std::cout, std::cerr, &pointer);
  }

  // The simulated mouse is the one and only mouse: number 1, node "simulated".
  const MouseIdentity mouse = SimulatedMouseIdentity();
  std::string error;
  if (SelectDevice(command.device, {mouse.node}, &error) != 0) {
    std::cerr << "tesselctl: " << error << "\n";
    return kExitDeviceFailure;
  }
  if (command.action == Action::List && !command.json) {
    std::cout << "1  " << mouse.node << "  " << mouse.name << ", state in " << DefaultSimulatedTesselStatePath() << "\n";
    return kExitOk;
  }
  Command run = command;
  if (run.action == Action::List) run.action = Action::Show;  // --json: its settings
  return RunSimulated(run, DefaultSimulatedTesselStatePath(), Sleeper::Real(), std::cout, std::cerr, &pointer);
}
