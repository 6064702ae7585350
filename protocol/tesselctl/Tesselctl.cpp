// SPDX-License-Identifier: MIT
#include "protocol/tesselctl/Tesselctl.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "pane/messages/ControlMessages.h"
#include "protocol/Settings.h"
#include "protocol/Transport.h"
#include "sim/SimulatedTessel.h"

namespace korvid::tesselctl {

namespace {

bool ParseUnsigned(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 9) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

ParseResult Fail(std::string error);

std::string DpiRangeText() {
  return std::to_string(kTesselMinDpi) + " to " + std::to_string(kTesselMaxDpi) + " DPI in steps of " +
         std::to_string(kTesselDpiPerStep);
}

std::string AccelerationRangeText() {
  return AccelerationText(kMinAcceleration) + " to " + AccelerationText(kMaxAcceleration);
}

// A whole decimal number such as "1.2" or "2"; no sign, no exponent, no "nan".
bool ParseDecimal(const std::string& text, float& value) {
  if (text.empty() || text.size() > 12) return false;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  }
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  return ec == std::errc() && ptr == end;
}

ParseResult ParseAcceleration(const std::string& text, Command command) {
  command.action = Action::SetAcceleration;
  if (text == "off" || text == "on") {
    command.accelerationChange = text == "off" ? AccelerationChange::kOff : AccelerationChange::kOn;
    return ParseResult{true, command, {}};
  }
  float value = 0.0f;
  if (!ParseDecimal(text, value)) {
    return Fail("acceleration must be off, on or a number from " + AccelerationRangeText() + ", not \"" + text + "\"");
  }
  if (value == 0.0f) return Fail("acceleration 0 is no acceleration: use \"set acceleration off\"");
  if (value < kMinAcceleration || value > kMaxAcceleration) {
    return Fail("acceleration " + text + " is out of range: it goes from " + AccelerationRangeText() +
                " (1 is the curve's middle), or off");
  }
  command.accelerationChange = AccelerationChange::kValue;
  command.acceleration = value;
  return ParseResult{true, command, {}};
}

ParseResult Fail(std::string error) {
  ParseResult result;
  result.error = std::move(error);
  return result;
}

ParseResult ParseDpi(const std::string& text, Command command) {
  const std::size_t colon = text.find(':');
  const std::string xText = text.substr(0, colon);
  const std::string yText = colon == std::string::npos ? xText : text.substr(colon + 1);
  unsigned x = 0, y = 0;
  if (!ParseUnsigned(xText, x) || !ParseUnsigned(yText, y)) {
    return Fail("DPI must be a number or X:Y (such as 800 or 800:1200), not \"" + text + "\"");
  }
  for (unsigned dpi : {x, y}) {
    if (dpi < kTesselMinDpi || dpi > kTesselMaxDpi) {
      return Fail("DPI " + std::to_string(dpi) + " is out of range: the Tessel takes " + DpiRangeText());
    }
  }
  command.action = Action::SetDpi;
  command.dpiX = x;
  command.dpiY = y;
  return ParseResult{true, command, {}};
}

ParseResult ParseSet(const std::vector<std::string>& words, Command command) {
  if (words.empty()) return Fail("set what? dpi, polling, light or acceleration");
  const std::string& what = words[0];
  if (what == "dpi") {
    if (words.size() != 2) return Fail("usage: set dpi X[:Y]");
    return ParseDpi(words[1], command);
  }
  if (what == "polling") {
    if (words.size() != 2) return Fail("usage: set polling 125|500|1000");
    unsigned value = 0;
    std::int32_t code = 0;
    if (ParseUnsigned(words[1], value)) {
      code = PollingHzToCode(value);
      if (code == 0 && (value == 8 || value == 2 || value == 1)) code = static_cast<std::int32_t>(value);
    }
    if (code == 0) return Fail("polling rate must be 125, 500 or 1000 (Hz), not \"" + words[1] + "\"");
    command.action = Action::SetPolling;
    command.pollingCode = code;
    return ParseResult{true, command, {}};
  }
  if (what == "light") {
    if (words.size() != 3) return Fail("usage: set light wheel|battery on|off");
    if (words[1] == "wheel") {
      command.lightBit = kWheelLightBit;
    } else if (words[1] == "battery") {
      command.lightBit = kBatteryLightBit;
    } else {
      return Fail("unknown light \"" + words[1] + "\" (wheel or battery)");
    }
    if (words[2] != "on" && words[2] != "off") return Fail("light state must be on or off, not \"" + words[2] + "\"");
    command.action = Action::SetLight;
    command.lightOn = words[2] == "on";
    return ParseResult{true, command, {}};
  }
  if (what == "acceleration") {
    if (words.size() != 2) return Fail("usage: set acceleration off|on|VALUE (" + AccelerationRangeText() + ")");
    if (!command.device.empty()) return Fail("--device does not go with set acceleration: it applies to every Tessel");
    return ParseAcceleration(words[1], command);
  }
  return Fail("unknown setting \"" + what + "\" (dpi, polling, light or acceleration)");
}

// How long the transport waits before it gives up, in milliseconds of sleep: the busy wait
// before a command, and the pause plus the reply poll after each block.
constexpr unsigned kBusyWaitMs = kBusyWaitAttempts * kRetrySleepMicroseconds / 1000;
constexpr unsigned kReplyWaitMs = (kReplyPauseMicroseconds + kPollAttempts * kRetrySleepMicroseconds) / 1000;
// How long a sender waits for the helper's answer (ticks of 1/60 s).
constexpr unsigned kControlReplyWaitMs = kControlReplyTimeoutTicks * 1000 / 60;

struct StatusName {
  OSStatus status;
  const char* name;
  bool hex;
  const char* words;  // "%u" stands for the wait in milliseconds, where one applies
  unsigned waitMs;
};

constexpr StatusName kStatusNames[] = {
    {paramErr, "paramErr", false, "the command was refused as malformed", 0},
    {kCommandBusyTimeout, "kCommandBusyTimeout", false,
     "the mouse did not answer within %u ms: it stayed busy or its reports could not be read", kBusyWaitMs},
    {kCommandFailed, "kCommandFailed", false,
     "the mouse took the command but reported a failure or did not finish it within %u ms", kReplyWaitMs},
    {ioErr, "ioErr", false, "an input/output error", 0},
    {fnfErr, "fnfErr", false, "a file or folder is missing", 0},
    {dirNFErr, "dirNFErr", false, "a folder on the way is not a folder", 0},
    {afpAccessDenied, "afpAccessDenied", false, "permission denied", 0},
    {wPrErr, "wPrErr", false, "the file system is read-only", 0},
    {dskFulErr, "dskFulErr", false, "the disk is full", 0},
    {memFullErr, "memFullErr", false, "out of memory", 0},
    {procNotFound, "procNotFound", false, "no acceleration helper (KorvidTesselHelper) runs", 0},
    {connectionInvalid, "connectionInvalid", false,
     "the acceleration helper cannot be reached on this session's bus", 0},
    {errAETimeout, "errAETimeout", false, "the acceleration helper did not answer within %u ms",
     kControlReplyWaitMs},
    {errAEEventNotPermitted, "errAEEventNotPermitted", false, "the acceleration helper refused the message", 0},
    {errAEReplyNotValid, "errAEReplyNotValid", false, "the acceleration helper's answer was not understood", 0},
    {errAEDescNotFound, "errAEDescNotFound", false, "the acceleration helper could not pass it on to the driver", 0},
    {kIOReturnError, "kIOReturnError", true, "the mouse's device reported a general error", 0},
    {kIOReturnNoMemory, "kIOReturnNoMemory", true, "out of memory", 0},
    {kIOReturnNoResources, "kIOReturnNoResources", true, "out of system resources", 0},
    {kIOReturnNotPrivileged, "kIOReturnNotPrivileged", true, "no permission to use the mouse", 0},
    {kIOReturnNoDevice, "kIOReturnNoDevice", true, "the mouse is no longer attached", 0},
    {kIOReturnBadArgument, "kIOReturnBadArgument", true, "the mouse's device refused the request as invalid", 0},
    {kIOReturnExclusiveAccess, "kIOReturnExclusiveAccess", true, "another program holds the mouse", 0},
    {kIOReturnUnsupported, "kIOReturnUnsupported", true, "this machine cannot send that request to the mouse", 0},
    {kIOReturnIOError, "kIOReturnIOError", true, "a USB transfer to the mouse failed", 0},
    {kIOReturnBusy, "kIOReturnBusy", true, "the mouse's device is busy", 0},
    {kIOReturnTimeout, "kIOReturnTimeout", true, "a USB transfer to the mouse timed out", 0},
    {kIOReturnNotResponding, "kIOReturnNotResponding", true, "the mouse does not respond", 0},
    {kIOReturnNotFound, "kIOReturnNotFound", true, "the mouse's device was not found", 0},
    {kIOReturnNotPermitted, "kIOReturnNotPermitted", true,
     "no permission to use the mouse's hidraw node (is the udev rule installed?)", 0},
    {kIOReturnAborted, "kIOReturnAborted", true, "the request to the mouse was aborted", 0},
};

std::string Hex32(OSStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// A JSON string: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& value) {
  std::string text = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      text += escaped;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

// A character device that the kernel lists as a hidraw node.
bool IsHidrawNode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  std::error_code ignored;
  const std::filesystem::path subsystem = std::filesystem::read_symlink(
      "/sys/dev/char/" + std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)) + "/subsystem",
      ignored);
  return subsystem.filename() == "hidraw";
}

// Why --device names none of the `count` mice attached.
std::string DeviceNotFound(const std::string& device, std::size_t count) {
  const std::string attached = count == 0   ? std::string("no Korvid Tessel is attached (") + kSimulatedHint + ")"
                               : count == 1 ? "1 Korvid Tessel is attached"
                                            : std::to_string(count) + " Korvid Tessels are attached";
  if (device.empty()) return std::string("no Korvid Tessel attached (") + kSimulatedHint + ")";
  if (unsigned number = 0; ParseUnsigned(device, number)) {
    if (number == 0) return "mice are numbered from 1, not 0 (see tesselctl list)";
    return "no mouse number " + device + ": " + attached + (count != 0 ? " (see tesselctl list)" : "");
  }
  if (device.front() != '/') {
    return "--device takes a mouse's number from tesselctl list or its node (/dev/hidrawN), not \"" + device + "\"";
  }
  std::error_code missing;
  if (!std::filesystem::exists(device, missing)) return device + " does not exist";
  if (!IsHidrawNode(device)) return device + " is not a hidraw node (a Tessel's node is /dev/hidrawN)";
  return device + " is not a Korvid Tessel: " + attached + (count != 0 ? " (see tesselctl list)" : "");
}

int ReportFailure(std::ostream& err, const std::string& what, OSStatus status) {
  err << "tesselctl: " << what << ": " << DescribeStatus(status) << "\n";
  return kExitDeviceFailure;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
  Command command;
  bool help = false;
  bool version = false;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-' || std::isdigit(static_cast<unsigned char>(arg[1]))) {
      words.push_back(arg);
    } else if (arg == "--simulated") {
      command.simulated = true;
    } else if (arg == "--json") {
      command.json = true;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--device" || arg.rfind("--device=", 0) == 0) {
      if (arg == "--device") {
        if (i + 1 == args.size()) return Fail("--device needs a mouse: a number from tesselctl list, or /dev/hidrawN");
        command.device = args[++i];
      } else {
        command.device = arg.substr(std::strlen("--device="));
      }
      if (command.device.empty()) return Fail("--device needs a mouse: a number from tesselctl list, or /dev/hidrawN");
    } else {
      return Fail("unknown option \"" + arg + "\"");
    }
  }
  if (help) {
    command.action = Action::Help;
    return ParseResult{true, command, {}};
  }
  if (version) {
    command.action = Action::Version;
    return ParseResult{true, command, {}};
  }
  if (words.empty()) return Fail("no command given (show, set, restore-defaults, list)");
  const std::string& verb = words[0];
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  if (verb == "help") {
    command.action = Action::Help;
    return ParseResult{true, command, {}};
  }
  if (verb == "show" || verb == "restore-defaults" || verb == "list") {
    if (!rest.empty()) return Fail("\"" + verb + "\" takes no arguments");
    command.action = verb == "show" ? Action::Show : verb == "list" ? Action::List : Action::RestoreDefaults;
    if (command.json && command.action == Action::RestoreDefaults) return Fail("--json goes with show and list");
    return ParseResult{true, command, {}};
  }
  if (command.json) return Fail("--json goes with show and list");
  if (verb == "set") return ParseSet(rest, command);
  return Fail("unknown command \"" + verb + "\" (show, set, restore-defaults, list)");
}

std::string UsageText() {
  const std::string range = std::to_string(kTesselMinDpi) + "..." + std::to_string(kTesselMaxDpi);
  return "usage: tesselctl [OPTIONS] show\n"
         "       tesselctl [OPTIONS] set dpi X[:Y]               (" + range + ", steps of " +
         std::to_string(kTesselDpiPerStep) + ")\n"
         "       tesselctl [OPTIONS] set polling 125|500|1000    (Hz)\n"
         "       tesselctl [OPTIONS] set light wheel|battery on|off\n"
         "       tesselctl set acceleration off|on|VALUE         (" + AccelerationRangeText() +
         "; this user's pointer acceleration)\n"
         "       tesselctl [OPTIONS] restore-defaults\n"
         "       tesselctl [OPTIONS] list                        (the attached mice, numbered)\n"
         "options, before or after the command:\n"
         "  --device N|/dev/hidrawN  the mouse to use: its number in list, or its node (default: the first)\n"
         "  --simulated              the simulated mouse, whose state is kept between runs\n"
         "  --json                   show and list print one JSON object per mouse\n"
         "  -h, --help               this text\n"
         "  --version                the program's version\n";
}

std::string VersionText() { return std::string("tesselctl ") + KORVID_VERSION + "\n"; }

int SelectDevice(const std::string& device, const std::vector<std::string>& nodes, std::string* error) {
  if (device.empty() && !nodes.empty()) return 0;
  unsigned number = 0;
  if (ParseUnsigned(device, number)) {
    if (number >= 1 && number <= nodes.size()) return static_cast<int>(number - 1);
  } else {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i] == device) return static_cast<int>(i);
    }
  }
  if (error != nullptr) *error = DeviceNotFound(device, nodes.size());
  return -1;
}

std::string DescribeStatus(OSStatus status) {
  for (const StatusName& entry : kStatusNames) {
    if (entry.status == status) {
      std::string words = entry.words;
      if (const std::size_t wait = words.find("%u"); wait != std::string::npos) {
        words.replace(wait, 2, std::to_string(entry.waitMs));
      }
      return words + " (" + entry.name + ", " + (entry.hex ? Hex32(status) : std::to_string(status)) +
             ")";
    }
  }
  const bool device = (static_cast<std::uint32_t>(status) & 0xFFFFF000u) == 0xE0000000u;
  return "an unknown failure (status " + (device ? Hex32(status) : std::to_string(status)) + ")";
}

std::string AccelerationText(float acceleration) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, acceleration);
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

const char* CurvePathKey(CurvePath path) {
  switch (path) {
    case CurvePath::kKernelModule:
      return "kernel-module";
    case CurvePath::kDriverDaemon:
      return "daemon";
    case CurvePath::kNowhere:
      break;
  }
  return "none";
}

const char* CurvePathWords(CurvePath path) {
  switch (path) {
    case CurvePath::kKernelModule:
      return "the kernel module (hid-korvid-tessel)";
    case CurvePath::kDriverDaemon:
      return "the driver daemon (korvid-tessel-driver)";
    case CurvePath::kNowhere:
      break;
  }
  return "nowhere: no driver serves the mouse";
}

std::string FormatReadout(const Readout& r) {
  const std::uint8_t x = StepsX(r.steps);
  const std::uint8_t y = StepsY(r.steps);
  const unsigned hz = PollingCodeToHz(r.pollingCode);
  std::string text =
      "Firmware version: " + FirmwareVersionText(r.firmware) + "\n" +
      "Polling rate: " + (hz != 0 ? std::to_string(hz) + " Hz" : "unknown (code " + std::to_string(r.pollingCode) + ")") +
      "\n" + "DPI: X " + std::to_string(StepToDpi(x)) + ", Y " + std::to_string(StepToDpi(y)) + "\n" +
      "Stage: " + std::to_string(r.stage) +
      " (the mouse keeps a DPI for each of its stages 1 to 5 and uses one; the DPI above is this"
      " stage's, and set dpi changes it)\n" +
      "Wheel light: " + (r.wheelLight ? "on" : "off") + "\n" + "Battery light: " + (r.batteryLight ? "on" : "off") +
      "\n";
  if (r.pointer) {
    text += "Acceleration: " +
            (r.pointer->acceleration != 0.0f ? AccelerationText(r.pointer->acceleration) : std::string("off")) + "\n" +
            "Acceleration runs in: " + CurvePathWords(r.pointer->curvePath) + "\n";
  }
  return text;
}

OSStatus ReadReadout(UsbDeviceInterface* device, Sleeper& sleeper, Readout& r, std::string* what) {
  std::uint32_t wheel = 0, battery = 0;
  if (OSStatus s = KorvidTesselGetFirmwareVersChecked(device, &r.firmware, sleeper); s != noErr) {
    return Failure(s, what, "cannot read the firmware version");
  }
  if (OSStatus s = KorvidTesselGetPollingRateChecked(device, &r.pollingCode, sleeper); s != noErr) {
    return Failure(s, what, "cannot read the polling rate");
  }
  if (OSStatus s = KorvidTesselGetDPIChecked(device, &r.steps, sleeper); s != noErr) {
    return Failure(s, what, "cannot read the sensitivity");
  }
  if (OSStatus s = KorvidTesselGetStageChecked(device, &r.stage, sleeper); s != noErr) {
    return Failure(s, what, "cannot read the stage");
  }
  if (OSStatus s = KorvidTesselGetLedStateChecked(device, kWheelLightBit, &wheel, sleeper); s != noErr) {
    return Failure(s, what, "cannot read the wheel light");
  }
  if (OSStatus s = KorvidTesselGetLedStateChecked(device, kBatteryLightBit, &battery, sleeper); s != noErr) {
    return Failure(s, what, "cannot read the battery light");
  }
  r.wheelLight = wheel != 0;
  r.batteryLight = battery != 0;
  return noErr;
}

std::string FormatLocation(std::uint32_t location) { return Hex32(static_cast<OSStatus>(location)); }

std::string FormatJson(const MouseIdentity& mouse, const Readout* r, const std::string& error) {
  std::string text = "{\"node\":" + JsonString(mouse.node) + ",\"name\":" + JsonString(mouse.name) +
                     ",\"location\":" + JsonString(FormatLocation(mouse.location));
  if (r != nullptr) {
    const unsigned hz = PollingCodeToHz(r->pollingCode);
    text += ",\"firmware\":" + JsonString(FirmwareVersionText(r->firmware)) +
            ",\"polling_hz\":" + (hz != 0 ? std::to_string(hz) : std::string("null")) +
            ",\"dpi_x\":" + std::to_string(StepToDpi(StepsX(r->steps))) +
            ",\"dpi_y\":" + std::to_string(StepToDpi(StepsY(r->steps))) +
            ",\"lights\":{\"wheel\":" + (r->wheelLight ? "true" : "false") +
            ",\"battery\":" + (r->batteryLight ? "true" : "false") + "}" +
            ",\"stage\":" + std::to_string(r->stage);
    if (r->pointer) {
      text += ",\"acceleration\":" + AccelerationText(r->pointer->acceleration) + ",\"curve_path\":" +
              JsonString(CurvePathKey(r->pointer->curvePath));
    }
  }
  if (!error.empty()) text += ",\"error\":" + JsonString(error);
  return text + "}";
}

MouseIdentity SimulatedMouseIdentity() { return MouseIdentity{"simulated", "Korvid Tessel (simulated)", 0}; }

int Run(const Command& command, UsbDeviceInterface* device, Sleeper& sleeper, std::ostream& out,
        std::ostream& err, const MouseIdentity& mouse, const PointerAcceleration* pointer) {
  switch (command.action) {
    case Action::Show: {
      Readout r;
      std::string what;
      if (OSStatus s = ReadReadout(device, sleeper, r, &what); s != noErr) return ReportFailure(err, what, s);
      if (pointer != nullptr) r.pointer = *pointer;
      out << (command.json ? FormatJson(mouse, &r) + "\n" : FormatReadout(r));
      return kExitOk;
    }
    case Action::SetDpi: {
      const std::uint8_t x = DpiToStep(command.dpiX);
      const std::uint8_t y = DpiToStep(command.dpiY);
      if (OSStatus s = KorvidTesselSetDPIChecked(device, x << 8 | y, 0, sleeper); s != noErr) {
        return ReportFailure(err, "cannot set the sensitivity", s);
      }
      // A value between steps is set to the step below it, and said.
      const auto sayRounded = [&out](unsigned dpi) {
        if (StepToDpi(DpiToStep(dpi)) == dpi) return;
        out << dpi << " is not a step of " << kTesselDpiPerStep << ": set " << StepToDpi(DpiToStep(dpi)) << "\n";
      };
      sayRounded(command.dpiX);
      if (command.dpiY != command.dpiX) sayRounded(command.dpiY);
      out << "DPI set to X " << StepToDpi(x) << ", Y " << StepToDpi(y) << "\n";
      return kExitOk;
    }
    case Action::SetPolling:
      if (OSStatus s = KorvidTesselSetPollingRateChecked(device, command.pollingCode, sleeper); s != noErr) {
        return ReportFailure(err, "cannot set the polling rate", s);
      }
      out << "Polling rate set to " << PollingCodeToHz(static_cast<std::uint32_t>(command.pollingCode)) << " Hz\n";
      return kExitOk;
    case Action::SetLight: {
      const char* name = command.lightBit == kWheelLightBit ? "Wheel" : "Battery";
      if (OSStatus s = KorvidTesselSetLedStateChecked(device, command.lightBit, command.lightOn ? 1 : 0, sleeper);
          s != noErr) {
        return ReportFailure(err, std::string("cannot set the ") + (command.lightBit == kWheelLightBit ? "wheel" : "battery") +
                                      " light",
                             s);
      }
      out << name << " light " << (command.lightOn ? "on" : "off") << "\n";
      return kExitOk;
    }
    case Action::RestoreDefaults:
      if (OSStatus s = KorvidTesselRestoreDefaultSettings(device, sleeper); s != noErr) {
        return ReportFailure(err, "cannot restore the defaults", s);
      }
      out << "Defaults restored: 1800 DPI at stage 3, polling rate 500 Hz, both lights on\n";
      return kExitOk;
    case Action::Help:
    case Action::Version:
    case Action::List:
    case Action::SetAcceleration:  // not the mouse's: RunAcceleration
      break;
  }
  err << "tesselctl: nothing to do on the mouse\n";
  return kExitUsage;
}

int RunSimulated(const Command& command, const std::string& statePath, Sleeper& sleeper, std::ostream& out,
                 std::ostream& err, const PointerAcceleration* pointer) {
  // The state file stays locked from load to save.
  const SimulatedTesselStateFile file(statePath);
  SimulatedTessel::State state = SimulatedTessel::DefaultState();
  const OSStatus loaded = file.Load(state);
  if (loaded != noErr && loaded != fnfErr) {
    err << "tesselctl: the simulated mouse's state file " << statePath
        << " is unreadable; starting from the defaults\n";
  }
  SimulatedTessel mouse;
  mouse.SetState(state);
  mouse.SetTrafficLogEnabled(false);
  const int exitStatus = Run(command, &mouse, sleeper, out, err, SimulatedMouseIdentity(), pointer);
  const SimulatedTessel::State after = mouse.GetState();
  if (after != state || loaded != noErr) {
    if (OSStatus saved = file.Save(after); saved != noErr) {
      err << "tesselctl: cannot save the simulated mouse's state to " << statePath << "\n";
      return exitStatus == kExitOk ? kExitDeviceFailure : exitStatus;
    }
  }
  return exitStatus;
}

}  // namespace korvid::tesselctl
