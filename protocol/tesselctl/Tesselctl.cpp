#include "protocol/tesselctl/Tesselctl.h"

#include <charconv>
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
    if (dpi < kMinDpi || dpi > kMaxDpi) {
      return Fail("DPI " + std::to_string(dpi) + " is outside " + std::to_string(kMinDpi) + "..." +
                  std::to_string(kMaxDpi));
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
    if (words.size() != 2) return Fail("usage: set polling 8|2|1");
    if (words[1] != "8" && words[1] != "2" && words[1] != "1") {
      return Fail("polling code must be 8, 2 or 1, not \"" + words[1] + "\"");
    }
    command.action = Action::SetPolling;
    command.pollingCode = words[1][0] - '0';
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

int DeviceFailure(std::ostream& err, const std::string& what, OSStatus status) {
  err << "tesselctl: " << what << ": " << DescribeStatus(status) << "\n";
  return kExitDeviceFailure;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
  Command command;
  std::size_t i = 0;
  while (i < args.size() && args[i].rfind("--", 0) == 0) {
    if (args[i] == "--simulated") {
      command.simulated = true;
    } else if (args[i] == "--help") {
      command.action = Action::Help;
      return ParseResult{true, command, {}};
    } else {
      return Fail("unknown option \"" + args[i] + "\"");
    }
    ++i;
  }
  if (i == args.size()) return Fail("no command given (show, set, restore-defaults, list)");
  const std::string& verb = args[i];
  const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  if (verb == "help") {
    command.action = Action::Help;
    return ParseResult{true, command, {}};
  }
  if (verb == "show" || verb == "restore-defaults" || verb == "list") {
    if (!rest.empty()) return Fail("\"" + verb + "\" takes no arguments");
    command.action = verb == "show" ? Action::Show : verb == "list" ? Action::List : Action::RestoreDefaults;
    return ParseResult{true, command, {}};
  }
  if (verb == "set") return ParseSet(rest, command);
  return Fail("unknown command \"" + verb + "\" (show, set, restore-defaults, list)");
}

std::string UsageText() {
  return "usage: tesselctl [--simulated] show\n"
         "       tesselctl [--simulated] set dpi X[:Y]        (100...6475)\n"
         "       tesselctl [--simulated] set polling 8|2|1\n"
         "       tesselctl [--simulated] set light wheel|battery on|off\n"
         "       tesselctl [--simulated] restore-defaults\n"
         "       tesselctl list\n"
         "--simulated uses the simulated mouse, whose state is kept between runs.\n";
}

std::uint8_t DpiToStep(unsigned dpi) {
  if (dpi <= kMinDpi) return 0;
  if (dpi >= kMaxDpi) return 255;
  return static_cast<std::uint8_t>((dpi - kMinDpi) / 25);
}

unsigned StepToDpi(std::uint8_t step) { return kMinDpi + 25u * step; }

std::string DescribeStatus(OSStatus status) {
  for (const StatusName& entry : kStatusNames) {
    if (entry.status == status) {
      return std::string(entry.name) + " (" + (entry.hex ? Hex32(status) : std::to_string(status)) + ")";
    }
  }
  if ((static_cast<std::uint32_t>(status) & 0xFFFFF000u) == 0xE0000000u) return "status " + Hex32(status);
  return "status " + std::to_string(status);
}

std::string FormatFirmwareVersion(std::uint32_t version) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d", static_cast<int>((version >> 8) & 0xFF),
                static_cast<int>(version & 0xFF));
  return text;
}

std::string FormatReadout(const Readout& r) {
  const auto x = static_cast<std::uint8_t>(r.steps >> 8);
  const auto y = static_cast<std::uint8_t>(r.steps & 0xFF);
  return "Firmware version: " + FormatFirmwareVersion(r.firmware) + "\n" +
         "Polling rate code: " + std::to_string(r.pollingCode) + "\n" +
         "DPI: X " + std::to_string(StepToDpi(x)) + ", Y " + std::to_string(StepToDpi(y)) + "\n" +
         "Wheel light: " + (r.wheelLight ? "on" : "off") + "\n" +
         "Battery light: " + (r.batteryLight ? "on" : "off") + "\n";
}

int Run(const Command& command, UsbDeviceInterface* device, Sleeper& sleeper, std::ostream& out,
        std::ostream& err) {
  switch (command.action) {
    case Action::Show: {
      Readout r;
      std::uint32_t wheel = 0, battery = 0;
      if (OSStatus s = KorvidTesselGetFirmwareVersChecked(device, &r.firmware, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot read the firmware version", s);
      }
      if (OSStatus s = KorvidTesselGetPollingRateChecked(device, &r.pollingCode, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot read the polling rate", s);
      }
      if (OSStatus s = KorvidTesselGetDPIChecked(device, &r.steps, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot read the sensitivity", s);
      }
      if (OSStatus s = KorvidTesselGetLedStateChecked(device, kWheelLightBit, &wheel, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot read the wheel light", s);
      }
      if (OSStatus s = KorvidTesselGetLedStateChecked(device, kBatteryLightBit, &battery, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot read the battery light", s);
      }
      r.wheelLight = wheel != 0;
      r.batteryLight = battery != 0;
      out << FormatReadout(r);
      return kExitOk;
    }
    case Action::SetDpi: {
      const std::uint8_t x = DpiToStep(command.dpiX);
      const std::uint8_t y = DpiToStep(command.dpiY);
      if (OSStatus s = KorvidTesselSetDPIChecked(device, x << 8 | y, 0, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot set the sensitivity", s);
      }
      out << "DPI set to X " << StepToDpi(x) << ", Y " << StepToDpi(y) << "\n";
      return kExitOk;
    }
    case Action::SetPolling:
      if (OSStatus s = KorvidTesselSetPollingRateChecked(device, command.pollingCode, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot set the polling rate", s);
      }
      out << "Polling rate code set to " << command.pollingCode << "\n";
      return kExitOk;
    case Action::SetLight: {
      const char* name = command.lightBit == kWheelLightBit ? "Wheel" : "Battery";
      if (OSStatus s = KorvidTesselSetLedStateChecked(device, command.lightBit, command.lightOn ? 1 : 0, sleeper);
          s != noErr) {
        return DeviceFailure(err, std::string("cannot set the ") + (command.lightBit == kWheelLightBit ? "wheel" : "battery") +
                                      " light",
                             s);
      }
      out << name << " light " << (command.lightOn ? "on" : "off") << "\n";
      return kExitOk;
    }
    case Action::RestoreDefaults:
      if (OSStatus s = KorvidTesselRestoreDefaultSettings(device, sleeper); s != noErr) {
        return DeviceFailure(err, "cannot restore the defaults", s);
      }
      out << "Defaults restored: 1800 DPI at stage 3, polling rate code 2, both lights on\n";
      return kExitOk;
    case Action::Help:
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
  const int exitStatus = Run(command, &mouse, sleeper, out, err);
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
