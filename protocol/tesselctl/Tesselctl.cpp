// SPDX-License-Identifier: MIT
#include "protocol/tesselctl/Tesselctl.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <cstdio>

#include "protocol/Settings.h"
#include "sim/SimulatedTessel.h"

namespace korvid::tesselctl {

namespace {

bool ParseUnsigned(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 9) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
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
    return Fail("DPI must be a number or X:Y, not \"" + text + "\"");
  }
  for (unsigned dpi : {x, y}) {
    if (dpi < kTesselMinDpi || dpi > kTesselMaxDpi) {
      return Fail("DPI " + std::to_string(dpi) + " is outside " + std::to_string(kTesselMinDpi) + "..." +
                  std::to_string(kTesselMaxDpi));
    }
  }
  command.action = Action::SetDpi;
  command.dpiX = x;
  command.dpiY = y;
  return ParseResult{true, command, {}};
}

ParseResult ParseSet(const std::vector<std::string>& words, Command command) {
  if (words.empty()) return Fail("set what? dpi, polling or light");
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
  return Fail("unknown setting \"" + what + "\" (dpi, polling or light)");
}

struct StatusName {
  OSStatus status;
  const char* name;
  bool hex;
};

constexpr StatusName kStatusNames[] = {
    {paramErr, "paramErr", false},
    {kCommandBusyTimeout, "kCommandBusyTimeout", false},
    {kCommandFailed, "kCommandFailed", false},
    {ioErr, "ioErr", false},
    {kIOReturnError, "kIOReturnError", true},
    {kIOReturnNoMemory, "kIOReturnNoMemory", true},
    {kIOReturnNoResources, "kIOReturnNoResources", true},
    {kIOReturnNotPrivileged, "kIOReturnNotPrivileged", true},
    {kIOReturnNoDevice, "kIOReturnNoDevice", true},
    {kIOReturnBadArgument, "kIOReturnBadArgument", true},
    {kIOReturnExclusiveAccess, "kIOReturnExclusiveAccess", true},
    {kIOReturnUnsupported, "kIOReturnUnsupported", true},
    {kIOReturnIOError, "kIOReturnIOError", true},
    {kIOReturnBusy, "kIOReturnBusy", true},
    {kIOReturnTimeout, "kIOReturnTimeout", true},
    {kIOReturnNotResponding, "kIOReturnNotResponding", true},
    {kIOReturnNotFound, "kIOReturnNotFound", true},
    {kIOReturnNotPermitted, "kIOReturnNotPermitted", true},
    {kIOReturnAborted, "kIOReturnAborted", true},
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
         "       tesselctl [OPTIONS] set dpi X[:Y]               (" + range + ")\n"
         "       tesselctl [OPTIONS] set polling 125|500|1000    (Hz)\n"
         "       tesselctl [OPTIONS] set light wheel|battery on|off\n"
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
  if (nodes.empty()) {
    if (error != nullptr) *error = "no Korvid Tessel attached";
    return -1;
  }
  if (device.empty()) return 0;
  unsigned number = 0;
  if (ParseUnsigned(device, number)) {
    if (number >= 1 && number <= nodes.size()) return static_cast<int>(number - 1);
    if (error != nullptr) {
      *error = "no mouse number " + device + ": " + std::to_string(nodes.size()) +
               (nodes.size() == 1 ? " Korvid Tessel is" : " Korvid Tessels are") + " attached (see tesselctl list)";
    }
    return -1;
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i] == device) return static_cast<int>(i);
  }
  if (error != nullptr) *error = device + " is not an attached Korvid Tessel (see tesselctl list)";
  return -1;
}

std::string DescribeStatus(OSStatus status) {
  for (const StatusName& entry : kStatusNames) {
    if (entry.status == status) {
      return std::string(entry.name) + " (" + (entry.hex ? Hex32(status) : std::to_string(status)) + ")";
    }
  }
  if ((static_cast<std::uint32_t>(status) & 0xFFFFF000u) == 0xE0000000u) return "status " + Hex32(status);
  return "status " + std::to_string(status);
}

std::string FormatReadout(const Readout& r) {
  const std::uint8_t x = StepsX(r.steps);
  const std::uint8_t y = StepsY(r.steps);
  const unsigned hz = PollingCodeToHz(r.pollingCode);
  return "Firmware version: " + FirmwareVersionText(r.firmware) + "\n" +
         "Polling rate: " + (hz != 0 ? std::to_string(hz) + " Hz" : "unknown (code " + std::to_string(r.pollingCode) + ")") +
         "\n" + "DPI: X " + std::to_string(StepToDpi(x)) + ", Y " + std::to_string(StepToDpi(y)) + "\n" +
         "Stage: " + std::to_string(r.stage) + "\n" +
         "Wheel light: " + (r.wheelLight ? "on" : "off") + "\n" +
         "Battery light: " + (r.batteryLight ? "on" : "off") + "\n";
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
  }
  if (!error.empty()) text += ",\"error\":" + JsonString(error);
  return text + "}";
}

MouseIdentity SimulatedMouseIdentity() { return MouseIdentity{"simulated", "Korvid Tessel (simulated)", 0}; }

int Run(const Command& command, UsbDeviceInterface* device, Sleeper& sleeper, std::ostream& out,
        std::ostream& err, const MouseIdentity& mouse) {
  switch (command.action) {
    case Action::Show: {
      Readout r;
      std::string what;
      if (OSStatus s = ReadReadout(device, sleeper, r, &what); s != noErr) return ReportFailure(err, what, s);
      out << (command.json ? FormatJson(mouse, &r) + "\n" : FormatReadout(r));
      return kExitOk;
    }
    case Action::SetDpi: {
      const std::uint8_t x = DpiToStep(command.dpiX);
      const std::uint8_t y = DpiToStep(command.dpiY);
      if (OSStatus s = KorvidTesselSetDPIChecked(device, x << 8 | y, 0, sleeper); s != noErr) {
        return ReportFailure(err, "cannot set the sensitivity", s);
      }
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
      break;
  }
  err << "tesselctl: nothing to do on the mouse\n";
  return kExitUsage;
}

int RunSimulated(const Command& command, const std::string& statePath, Sleeper& sleeper, std::ostream& out,
                 std::ostream& err) {
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
  const int exitStatus = Run(command, &mouse, sleeper, out, err, SimulatedMouseIdentity());
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
