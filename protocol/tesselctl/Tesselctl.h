// SPDX-License-Identifier: MIT
// tesselctl: shows and changes a Korvid Tessel's settings from the command line, on a real
// mouse or on the simulated one. Argument parsing, running and output are plain functions
// so they can be tested without a mouse.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "driver/client/CurvePath.h"
#include "platform/Sleeper.h"
#include "platform/Status.h"
#include "platform/usb/UsbDeviceInterface.h"
#include "protocol/Settings.h"

namespace korvid::tesselctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDeviceFailure = 1;
inline constexpr int kExitUsage = 2;

enum class Action { Help, Version, Show, List, SetDpi, SetPolling, SetLight, SetAcceleration, RestoreDefaults };

// The pointer acceleration a person can ask for: as the window's box and slider set it.
enum class AccelerationChange { kOff, kOn, kValue };
inline constexpr float kMinAcceleration = 0.1f;
inline constexpr float kMaxAcceleration = 2.0f;

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
  AccelerationChange accelerationChange = AccelerationChange::kOff;  // SetAcceleration
  float acceleration = 0.0f;                                         // kValue: 0.1 ... 2.0
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
// path; empty names the first. -1 with a one-line error when none matches, saying what
// was given instead: a number out of range, no number and no path, a path that is not
// there, a node that is not a hidraw node, or a hidraw node of another device.
int SelectDevice(const std::string& device, const std::vector<std::string>& nodes, std::string* error);

// A failure in words, then its status name and number for a bug report: "the mouse did not
// answer within 250 ms (kCommandBusyTimeout, -6911)", "... (kIOReturnNoDevice,
// 0xE00002C0)", "an unknown failure (status -1234)".
std::string DescribeStatus(OSStatus status);

// The hint for a machine without a Tessel.
inline constexpr const char* kSimulatedHint = "use --simulated for the simulated mouse";

// What `show` says beside the mouse's own settings: the acceleration stored in the user's
// settings domain (0 = off) and where its curve runs on this machine.
struct PointerAcceleration {
  float acceleration = 0.0f;
  CurvePath curvePath = CurvePath::kNowhere;
};
// "1.2": the shortest text that reads back as the same single-precision value.
std::string AccelerationText(float acceleration);
// "kernel-module", "daemon", "none" (JSON); the same in words for `show`.
const char* CurvePathKey(CurvePath path);
const char* CurvePathWords(CurvePath path);

// What `show` prints.
struct Readout {
  std::uint32_t firmware = 0;  // major × 256 + minor
  std::uint32_t pollingCode = 0;
  std::uint32_t steps = 0;     // X step × 256 + Y step
  bool wheelLight = false;
  bool batteryLight = false;
  std::uint32_t stage = 0;
  std::optional<PointerAcceleration> pointer;  // not the mouse's: from this machine
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
// lights {wheel, battery}, stage, and with the readout's pointer acceleration (0 = off)
// and curve_path. Without a readout: the identity and "error".
std::string FormatJson(const MouseIdentity& mouse, const Readout* readout, const std::string& error = {});
// "0x01230000".
std::string FormatLocation(std::uint32_t location);

// Runs a device command (Show, SetDpi, SetPolling, SetLight, RestoreDefaults) on `device`.
// Prints the result to `out` or one error line to `err`; returns the exit status.
// `mouse` names the mouse in --json output; `pointer`, when given, is shown by Show.
int Run(const Command& command, UsbDeviceInterface* device, Sleeper& sleeper, std::ostream& out,
        std::ostream& err, const MouseIdentity& mouse = {}, const PointerAcceleration* pointer = nullptr);

// The simulated mouse as `list` and --json name it.
MouseIdentity SimulatedMouseIdentity();

// Runs a device command on the simulated mouse whose state lives in `statePath`: loads it
// (defaults when the file does not exist), runs, and saves it back when it changed.
int RunSimulated(const Command& command, const std::string& statePath, Sleeper& sleeper, std::ostream& out,
                 std::ostream& err, const PointerAcceleration* pointer = nullptr);

}  // namespace korvid::tesselctl
