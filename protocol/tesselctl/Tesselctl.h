// SPDX-License-Identifier: MIT
// tesselctl: shows and changes a Korvid Tessel's settings from the command line, on a real
// mouse or on the simulated one. Argument parsing, running and output are plain functions
// so they can be tested without a mouse.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Sleeper.h"
#include "platform/Status.h"
#include "platform/usb/UsbDeviceInterface.h"
#include "protocol/Settings.h"

namespace korvid::tesselctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDeviceFailure = 1;
inline constexpr int kExitUsage = 2;

enum class Action { Help, Version, Show, List, SetDpi, SetPolling, SetLight, RestoreDefaults };

struct Command {
  Action action = Action::Help;
  bool simulated = false;
  bool json = false;           // Show, List: one JSON object per mouse
  std::string device;          // --device: "N" (1 is the first, as list numbers them) or a hidraw node
  unsigned dpiX = 0;           // SetDpi
  unsigned dpiY = 0;
  std::int32_t pollingCode = 0;  // SetPolling: 8, 2 or 1
  std::uint32_t lightBit = 0;    // SetLight: 0 wheel, 1 battery
  bool lightOn = false;
};

struct ParseResult {
  bool ok = false;
  Command command;
  std::string error;  // one line, when not ok
};

// Parses the arguments after the program name. Options may come before or after the
// command's words.
ParseResult ParseArguments(const std::vector<std::string>& args);

std::string UsageText();
std::string VersionText();

// Which of `nodes` (in list order) `--device` names: "N" counts from 1, otherwise a node
// path; empty names the first. -1 with a one-line error when none matches.
int SelectDevice(const std::string& device, const std::vector<std::string>& nodes, std::string* error);

// "kCommandBusyTimeout (-6911)", "kIOReturnNoDevice (0xE00002C0)", "status -1234".
std::string DescribeStatus(OSStatus status);

// What `show` prints.
struct Readout {
  std::uint32_t firmware = 0;  // major × 256 + minor
  std::uint32_t pollingCode = 0;
  std::uint32_t steps = 0;     // X step × 256 + Y step
  bool wheelLight = false;
  bool batteryLight = false;
  std::uint32_t stage = 0;
};
std::string FormatReadout(const Readout& readout);
// Reads everything `show` prints; on failure `what` says what could not be read.
OSStatus ReadReadout(UsbDeviceInterface* device, Sleeper& sleeper, Readout& readout, std::string* what);

// Which mouse: its node, name and USB location.
struct MouseIdentity {
  std::string node;
  std::string name = "Korvid Tessel";
  std::uint32_t location = 0;
};
// One JSON object (one line): node, name, location, firmware, polling_hz, dpi_x, dpi_y,
// lights {wheel, battery}, stage. Without a readout: the identity and "error".
std::string FormatJson(const MouseIdentity& mouse, const Readout* readout, const std::string& error = {});
// "0x01230000".
std::string FormatLocation(std::uint32_t location);
// "1.05": major, then minor as two digits.

// Runs a device command (Show, SetDpi, SetPolling, SetLight, RestoreDefaults) on `device`.
// Prints the result to `out` or one error line to `err`; returns the exit status.
// `mouse` names the mouse in --json output.
int Run(const Command& command, UsbDeviceInterface* device, Sleeper& sleeper, std::ostream& out,
        std::ostream& err, const MouseIdentity& mouse = {});

// The simulated mouse as `list` and --json name it.
MouseIdentity SimulatedMouseIdentity();

// Runs a device command on the simulated mouse whose state lives in `statePath`: loads it
// (defaults when the file does not exist), runs, and saves it back when it changed.
int RunSimulated(const Command& command, const std::string& statePath, Sleeper& sleeper, std::ostream& out,
                 std::ostream& err);

}  // namespace korvid::tesselctl
