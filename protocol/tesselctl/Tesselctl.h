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

namespace korvid::tesselctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDeviceFailure = 1;
inline constexpr int kExitUsage = 2;

inline constexpr unsigned kMinDpi = 100;
inline constexpr unsigned kMaxDpi = 6475;  // step 255

enum class Action { Help, Show, List, SetDpi, SetPolling, SetLight, RestoreDefaults };

struct Command {
  Action action = Action::Help;
  bool simulated = false;
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

// Parses the arguments after the program name.
ParseResult ParseArguments(const std::vector<std::string>& args);

std::string UsageText();

// Sensitivity step of a DPI value: (dpi - 100) / 25, rounded down.
std::uint8_t DpiToStep(unsigned dpi);
unsigned StepToDpi(std::uint8_t step);

// "kCommandBusyTimeout (-6911)", "kIOReturnNoDevice (0xE00002C0)", "status -1234".
std::string DescribeStatus(OSStatus status);

// What `show` prints.
struct Readout {
  std::uint32_t firmware = 0;  // major × 256 + minor
  std::uint32_t pollingCode = 0;
  std::uint32_t steps = 0;     // X step × 256 + Y step
  bool wheelLight = false;
  bool batteryLight = false;
};
std::string FormatReadout(const Readout& readout);
// "1.05": major, then minor as two digits.
std::string FormatFirmwareVersion(std::uint32_t version);

// Runs a device command (Show, SetDpi, SetPolling, SetLight, RestoreDefaults) on `device`.
// Prints the result to `out` or one error line to `err`; returns the exit status.
int Run(const Command& command, UsbDeviceInterface* device, Sleeper& sleeper, std::ostream& out,
        std::ostream& err);

// Runs a device command on the simulated mouse whose state lives in `statePath`: loads it
// (defaults when the file does not exist), runs, and saves it back when it changed.
int RunSimulated(const Command& command, const std::string& statePath, Sleeper& sleeper, std::ostream& out,
                 std::ostream& err);

}  // namespace korvid::tesselctl
