// SPDX-License-Identifier: MIT
#include "protocol/tesselctl/Tesselctl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "sim/SimulatedTessel.h"

namespace korvid::tesselctl {
namespace {

constexpr const char* kStageLine =
    "Stage: 3 (the mouse keeps a DPI for each of its stages 1 to 5 and uses one; the DPI above is this stage's, and "
    "set dpi changes it)\n";

ParseResult Parse(std::initializer_list<const char*> words) {
  return ParseArguments(std::vector<std::string>(words.begin(), words.end()));
}

// ---- arguments ------------------------------------------------------------------------------------

TEST(TesselctlArgumentsTest, ShowWithAndWithoutSimulation) {
  ParseResult r = Parse({"show"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.command.action, Action::Show);
  EXPECT_FALSE(r.command.simulated);
  r = Parse({"--simulated", "show"});
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.command.simulated);
}

TEST(TesselctlArgumentsTest, DpiTogetherOrApart) {
  ParseResult r = Parse({"set", "dpi", "800"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.action, Action::SetDpi);
  EXPECT_EQ(r.command.dpiX, 800u);
  EXPECT_EQ(r.command.dpiY, 800u);
  r = Parse({"set", "dpi", "100:6475"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.command.dpiX, 100u);
  EXPECT_EQ(r.command.dpiY, 6475u);
}

TEST(TesselctlArgumentsTest, DpiOutsideTheRangeOrMalformedIsRefused) {
  for (const char* dpi : {"99", "6476", "0", "-800", "800:", ":800", "80x", "800:900:1000", "", "99999999999"}) {
    const ParseResult r = Parse({"set", "dpi", dpi});
    EXPECT_FALSE(r.ok) << dpi;
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.error.find('\n'), std::string::npos);
  }
  // The value out of range is named, with the range.
  EXPECT_EQ(Parse({"set", "dpi", "7000"}).error, "DPI 7000 is out of range: the Tessel takes 100 to 6475 DPI in steps of 25");
  EXPECT_EQ(Parse({"set", "dpi", "800:50"}).error, "DPI 50 is out of range: the Tessel takes 100 to 6475 DPI in steps of 25");
  EXPECT_TRUE(Parse({"set", "dpi", "123:4567"}).ok);  // in range: set to the steps below, and said
}

TEST(TesselctlArgumentsTest, AccelerationOffOnOrAValueInRange) {
  struct Row {
    const char* word;
    bool ok;
    AccelerationChange change;
    float value;
    const char* error;  // a part of it
  };
  const Row rows[] = {
      {"1.2", true, AccelerationChange::kValue, 1.2f, ""},
      {"0.1", true, AccelerationChange::kValue, 0.1f, ""},
      {"2", true, AccelerationChange::kValue, 2.0f, ""},
      {"2.0", true, AccelerationChange::kValue, 2.0f, ""},
      {"off", true, AccelerationChange::kOff, 0.0f, ""},
      {"on", true, AccelerationChange::kOn, 0.0f, ""},
      {"0", false, {}, 0, "use \"set acceleration off\""},
      {"0.0", false, {}, 0, "use \"set acceleration off\""},
      {"0.09", false, {}, 0, "acceleration 0.09 is out of range: it goes from 0.1 to 2"},
      {"2.01", false, {}, 0, "acceleration 2.01 is out of range: it goes from 0.1 to 2"},
      {"-1", false, {}, 0, "off, on or a number from 0.1 to 2, not \"-1\""},
      {"1e0", false, {}, 0, "not \"1e0\""},
      {"nan", false, {}, 0, "not \"nan\""},
      {"1.2.3", false, {}, 0, "not \"1.2.3\""},
      {".", false, {}, 0, "not \".\""},
      {"", false, {}, 0, "not \"\""},
  };
  for (const Row& row : rows) {
    const ParseResult r = Parse({"set", "acceleration", row.word});
    ASSERT_EQ(r.ok, row.ok) << row.word << ": " << r.error;
    if (row.ok) {
      EXPECT_EQ(r.command.action, Action::SetAcceleration);
      EXPECT_EQ(r.command.accelerationChange, row.change) << row.word;
      EXPECT_EQ(r.command.acceleration, row.value) << row.word;
    } else {
      EXPECT_NE(r.error.find(row.error), std::string::npos) << row.word << ": " << r.error;
    }
  }
  EXPECT_EQ(Parse({"set", "acceleration", "1", "--device", "2"}).error,
            "--device does not go with set acceleration: it applies to every Tessel");
  EXPECT_FALSE(Parse({"set", "acceleration"}).ok);
  EXPECT_FALSE(Parse({"set", "acceleration", "1", "2"}).ok);
}

TEST(TesselctlArgumentsTest, PollingInHertzOrAsTheMousesCode) {
  const std::pair<const char*, std::int32_t> rates[] = {{"125", 8}, {"500", 2}, {"1000", 1}, {"8", 8}, {"2", 2}, {"1", 1}};
  for (const auto& [word, code] : rates) {
    const ParseResult r = Parse({"set", "polling", word});
    ASSERT_TRUE(r.ok) << word;
    EXPECT_EQ(r.command.pollingCode, code) << word;
  }
  EXPECT_FALSE(Parse({"set", "polling", "4"}).ok);
  EXPECT_FALSE(Parse({"set", "polling", "250"}).ok);
  EXPECT_FALSE(Parse({"set", "polling"}).ok);
}

TEST(TesselctlArgumentsTest, OptionsStandBeforeOrAfterTheCommand) {
  for (const auto& words : {std::vector<std::string>{"--simulated", "--json", "--device", "2", "show"},
                            std::vector<std::string>{"show", "--json", "--device=2", "--simulated"},
                            std::vector<std::string>{"--device", "2", "show", "--simulated", "--json"}}) {
    const ParseResult r = ParseArguments(words);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.command.action, Action::Show);
    EXPECT_TRUE(r.command.simulated && r.command.json);
    EXPECT_EQ(r.command.device, "2");
  }
  EXPECT_EQ(Parse({"set", "dpi", "800", "--simulated"}).command.dpiX, 800u);
  EXPECT_EQ(Parse({"show", "-h"}).command.action, Action::Help);
  EXPECT_EQ(Parse({"--version"}).command.action, Action::Version);
  EXPECT_FALSE(Parse({"show", "--device"}).ok);
  EXPECT_FALSE(Parse({"set", "polling", "500", "--json"}).ok);
  EXPECT_NE(VersionText().find("tesselctl 1"), std::string::npos);
}

TEST(TesselctlArgumentsTest, DeviceByNumberOrNode) {
  const std::vector<std::string> nodes = {"/dev/hidraw3", "/dev/hidraw7"};
  std::string error;
  EXPECT_EQ(SelectDevice("", nodes, &error), 0);
  EXPECT_EQ(SelectDevice("2", nodes, &error), 1);
  EXPECT_EQ(SelectDevice("/dev/hidraw3", nodes, &error), 0);
  EXPECT_EQ(SelectDevice("simulated", {"simulated"}, &error), 0);
  // What --device named instead, in words.
  const std::pair<const char*, const char*> refused[] = {
      {"3", "no mouse number 3: 2 Korvid Tessels are attached (see tesselctl list)"},
      {"0", "mice are numbered from 1, not 0 (see tesselctl list)"},
      {"abc", "--device takes a mouse's number from tesselctl list or its node (/dev/hidrawN), not \"abc\""},
      {"-1", "--device takes a mouse's number from tesselctl list or its node (/dev/hidrawN), not \"-1\""},
      {"/dev/null", "/dev/null is not a hidraw node (a Tessel's node is /dev/hidrawN)"},
      {"/dev/korvid-no-such-node", "/dev/korvid-no-such-node does not exist"},
  };
  for (const auto& [device, words] : refused) {
    EXPECT_EQ(SelectDevice(device, nodes, &error), -1) << device;
    EXPECT_EQ(error, words);
  }
  EXPECT_EQ(SelectDevice("", {}, &error), -1);
  EXPECT_EQ(error, "no Korvid Tessel attached (use --simulated for the simulated mouse)");
  EXPECT_EQ(SelectDevice("1", {}, &error), -1);
  EXPECT_EQ(error, "no mouse number 1: no Korvid Tessel is attached (use --simulated for the simulated mouse)");
}

TEST(TesselctlArgumentsTest, Lights) {
  ParseResult r = Parse({"set", "light", "battery", "off"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.command.lightBit, 1u);
  EXPECT_FALSE(r.command.lightOn);
  r = Parse({"set", "light", "wheel", "on"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.command.lightBit, 0u);
  EXPECT_TRUE(r.command.lightOn);
  EXPECT_FALSE(Parse({"set", "light", "logo", "on"}).ok);
  EXPECT_FALSE(Parse({"set", "light", "wheel", "dim"}).ok);
}

TEST(TesselctlArgumentsTest, UnknownWordsAreRefused) {
  EXPECT_FALSE(Parse({}).ok);
  EXPECT_FALSE(Parse({"--simulated"}).ok);
  EXPECT_FALSE(Parse({"--fast", "show"}).ok);
  EXPECT_FALSE(Parse({"frobnicate"}).ok);
  EXPECT_FALSE(Parse({"show", "extra"}).ok);
  EXPECT_FALSE(Parse({"set", "colour", "red"}).ok);
  EXPECT_NE(Parse({"frobnicate"}).error.find("frobnicate"), std::string::npos);
  EXPECT_TRUE(Parse({"restore-defaults"}).ok);
  EXPECT_TRUE(Parse({"list"}).ok);
}

// ---- output -------------------------------------------------------------------------------------

TEST(TesselctlOutputTest, StatusesInWordsThenNamedWithTheirCode) {
  const std::pair<OSStatus, const char*> rows[] = {
      {kCommandBusyTimeout,
       "the mouse did not answer within 250 ms: it stayed busy or its reports could not be read "
       "(kCommandBusyTimeout, -6911)"},
      {kCommandFailed,
       "the mouse took the command but reported a failure or did not finish it within 350 ms (kCommandFailed, -6902)"},
      {kIOReturnNoDevice, "the mouse is no longer attached (kIOReturnNoDevice, 0xE00002C0)"},
      {kIOReturnNotPermitted,
       "no permission to use the mouse's hidraw node (is the udev rule installed?) (kIOReturnNotPermitted, 0xE00002E2)"},
      {procNotFound, "no acceleration helper (KorvidTesselHelper) runs (procNotFound, -600)"},
      {errAETimeout, "the acceleration helper did not answer within 250 ms (errAETimeout, -1712)"},
      {afpAccessDenied, "permission denied (afpAccessDenied, -5000)"},
      {-1234, "an unknown failure (status -1234)"},
      {static_cast<OSStatus>(0xE00002FFu), "an unknown failure (status 0xE00002FF)"},
  };
  for (const auto& [status, words] : rows) EXPECT_EQ(DescribeStatus(status), words);
}

TEST(TesselctlOutputTest, Readout) {
  Readout r;
  r.firmware = 0x0105;
  r.pollingCode = 2;
  r.steps = 0x1C44;
  r.wheelLight = true;
  r.stage = 3;
  EXPECT_EQ(FormatReadout(r),
            "Firmware version: 1.05\n"
            "Polling rate: 500 Hz\n"
            "DPI: X 800, Y 1800\n" +
                std::string(kStageLine) +
                "Wheel light: on\n"
                "Battery light: off\n");
  // The pointer acceleration, off or its value, and where its curve runs.
  const std::tuple<PointerAcceleration, const char*, const char*> pointers[] = {
      {{0.0f, CurvePath::kNowhere}, "Acceleration: off\nAcceleration runs in: nowhere: no driver serves the mouse\n",
       ",\"acceleration\":0,\"curve_path\":\"none\"}"},
      {{1.2f, CurvePath::kKernelModule},
       "Acceleration: 1.2\nAcceleration runs in: the kernel module (hid-korvid-tessel)\n",
       ",\"acceleration\":1.2,\"curve_path\":\"kernel-module\"}"},
      {{0.1f, CurvePath::kDriverDaemon},
       "Acceleration: 0.1\nAcceleration runs in: the driver daemon (korvid-tessel-driver)\n",
       ",\"acceleration\":0.1,\"curve_path\":\"daemon\"}"},
  };
  for (const auto& [pointer, text, json] : pointers) {
    Readout withPointer = r;
    withPointer.pointer = pointer;
    EXPECT_EQ(FormatReadout(withPointer), FormatReadout(r) + text);
    const std::string line = FormatJson(MouseIdentity{}, &withPointer);
    EXPECT_EQ(line.substr(line.size() - std::string(json).size()), json);
  }
  r.pollingCode = 4;
  EXPECT_NE(FormatReadout(r).find("Polling rate: unknown (code 4)\n"), std::string::npos);
  EXPECT_EQ(FormatJson(MouseIdentity{"/dev/hidraw\"1", "Korvid\\Tessel", 0x01230000}, &r),
            "{\"node\":\"/dev/hidraw\\\"1\",\"name\":\"Korvid\\\\Tessel\",\"location\":\"0x01230000\",\"firmware\":\"1.05\","
            "\"polling_hz\":null,\"dpi_x\":800,\"dpi_y\":1800,\"lights\":{\"wheel\":true,\"battery\":false},\"stage\":3}");
  EXPECT_EQ(FormatJson(MouseIdentity{"/dev/hidraw1"}, nullptr, "cannot open\n"),
            "{\"node\":\"/dev/hidraw1\",\"name\":\"Korvid Tessel\",\"location\":\"0x00000000\",\"error\":\"cannot open\\u000a\"}");
}

// ---- running on the simulated mouse ----------------------------------------------------------------------

class TesselctlRunTest : public ::testing::Test {
 protected:
  int Run(std::initializer_list<const char*> words) {
    out.str("");
    err.str("");
    const ParseResult r = Parse(words);
    EXPECT_TRUE(r.ok) << r.error;
    return tesselctl::Run(r.command, &mouse, sleeper, out, err);
  }
  void TearDown() override { EXPECT_EQ(mouse.ViolationCount(), 0u); }

  SimulatedTessel mouse;
  VirtualSleeper sleeper;
  std::ostringstream out, err;
};

TEST_F(TesselctlRunTest, ShowsTheDefaultMouse) {
  EXPECT_EQ(Run({"show"}), kExitOk);
  EXPECT_EQ(out.str(),
            "Firmware version: 1.05\n"
            "Polling rate: 500 Hz\n"
            "DPI: X 1800, Y 1800\n" +
                std::string(kStageLine) +
                "Wheel light: on\n"
                "Battery light: on\n");
  // With the pointer acceleration of this machine after the mouse's own settings.
  const std::string mouseOnly = out.str();
  const PointerAcceleration pointer{1.2f, CurvePath::kDriverDaemon};
  out.str("");
  EXPECT_EQ(tesselctl::Run(ParseArguments({"show"}).command, &mouse, sleeper, out, err, {}, &pointer), kExitOk);
  EXPECT_EQ(out.str(), mouseOnly + "Acceleration: 1.2\nAcceleration runs in: the driver daemon (korvid-tessel-driver)\n");
}

TEST_F(TesselctlRunTest, SetsAndShows) {
  // A value between steps is set to the step below, and said.
  const std::tuple<const char*, const char*, std::uint32_t> dpis[] = {
      {"801", "801 is not a step of 25: set 800\nDPI set to X 800, Y 800\n", 0x1C1C},
      {"123:4567", "123 is not a step of 25: set 100\n4567 is not a step of 25: set 4550\nDPI set to X 100, Y 4550\n",
       0x00B2},
      {"6475:824", "824 is not a step of 25: set 800\nDPI set to X 6475, Y 800\n", 0xFF1C},
      {"800:1210", "1210 is not a step of 25: set 1200\nDPI set to X 800, Y 1200\n", 0x1C2C},
  };
  for (const auto& [dpi, said, steps] : dpis) {
    EXPECT_EQ(Run({"set", "dpi", dpi}), kExitOk);
    EXPECT_EQ(out.str(), said);
    EXPECT_EQ(mouse.CurrentSteps(), steps) << dpi;
  }
  EXPECT_EQ(Run({"set", "polling", "8"}), kExitOk);
  EXPECT_EQ(Run({"set", "light", "battery", "off"}), kExitOk);
  EXPECT_EQ(Run({"show"}), kExitOk);
  EXPECT_NE(out.str().find("Polling rate: 125 Hz\nDPI: X 800, Y 1200\n" + std::string(kStageLine) +
                           "Wheel light: on\nBattery light: off\n"),
            std::string::npos)
      << out.str();
}

TEST_F(TesselctlRunTest, RestoreDefaults) {
  Run({"set", "dpi", "5000"});
  Run({"set", "light", "wheel", "off"});
  EXPECT_EQ(Run({"restore-defaults"}), kExitOk);
  EXPECT_EQ(mouse.CurrentStage(), 3u);
  EXPECT_EQ(mouse.CurrentSteps(), 0x4444);
  EXPECT_EQ(mouse.Configuration()[1], 0x07);
}

TEST_F(TesselctlRunTest, DeviceFailuresNameTheStatus) {
  mouse.InjectReplyDataLength(0, 1000);  // replies without their data
  EXPECT_EQ(Run({"set", "polling", "8"}), kExitDeviceFailure);
  EXPECT_EQ(err.str(),
            "tesselctl: cannot set the polling rate: the mouse took the command but reported a failure or did not "
            "finish it within 350 ms (kCommandFailed, -6902)\n");
  EXPECT_EQ(mouse.Settings()[1], 2);
  mouse.InjectReplyDataLength(80, 0);
  mouse.InjectBusyReads(1 << 20);
  EXPECT_EQ(Run({"show"}), kExitDeviceFailure);
  EXPECT_EQ(err.str(),
            "tesselctl: cannot read the firmware version: the mouse did not answer within 250 ms: it stayed busy or "
            "its reports could not be read (kCommandBusyTimeout, -6911)\n");
  EXPECT_TRUE(out.str().empty());
  EXPECT_EQ(Run({"set", "polling", "1"}), kExitDeviceFailure);
  EXPECT_NE(err.str().find("(kCommandBusyTimeout, -6911)"), std::string::npos);
}

// A mouse that opens but withholds its replies: no value of its own is shown, in either
// form, whether the first read fails or one after others answered.
TEST_F(TesselctlRunTest, ANonAnsweringMouseShowsNothingOfItsOwn) {
  const PointerAcceleration pointer{1.2f, CurvePath::kDriverDaemon};
  for (const int answered : {0, 6, 30}) {  // requests answered before the mouse goes quiet
    for (const bool json : {false, true}) {
      SimulatedTessel quiet;
      if (answered == 0) {
        quiet.InjectFailedReads(1 << 20, kIOReturnTimeout);
      } else {
        quiet.UnplugAfter(answered);
      }
      std::ostringstream quietOut, quietErr;
      Command show;
      show.action = Action::Show;
      show.json = json;
      EXPECT_EQ(tesselctl::Run(show, &quiet, sleeper, quietOut, quietErr, {}, &pointer), kExitDeviceFailure);
      EXPECT_EQ(quietOut.str(), "") << answered;
      EXPECT_EQ(quietErr.str().rfind("tesselctl: cannot read the ", 0), 0u) << quietErr.str();
      if (answered == 0) {
        EXPECT_NE(quietErr.str().find("the mouse did not answer within 250 ms"), std::string::npos) << quietErr.str();
      }
    }
  }
}

TEST_F(TesselctlRunTest, FailedWriteIsReported) {
  mouse.InjectFailedWrites(1000, kIOReturnNotResponding);
  EXPECT_EQ(Run({"set", "light", "wheel", "off"}), kExitDeviceFailure);
  EXPECT_EQ(err.str(), "tesselctl: cannot set the wheel light: the mouse does not respond (kIOReturnNotResponding, 0xE00002ED)\n");
}

TEST(TesselctlNoDeviceTest, MissingDeviceIsAFailure) {
  VirtualSleeper sleeper;
  std::ostringstream out, err;
  Command command;
  command.action = Action::Show;
  EXPECT_EQ(tesselctl::Run(command, nullptr, sleeper, out, err), kExitDeviceFailure);
}

// ---- the simulated mouse's state across runs -----------------------------------------------------------

TEST(TesselctlSimulatedTest, SetThenShowAgreeAcrossRuns) {
  char pattern[] = "/tmp/korvid-tesselctl-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string path = (dir / "korvid" / "simulated-tessel.state").string();
  VirtualSleeper sleeper;
  std::ostringstream out, err;

  ParseResult set = ParseArguments({"--simulated", "set", "dpi", "2400:400"});
  ASSERT_TRUE(set.ok);
  EXPECT_EQ(RunSimulated(set.command, path, sleeper, out, err), kExitOk);
  ASSERT_TRUE(std::filesystem::exists(path));

  out.str("");
  ParseResult show = ParseArguments({"--simulated", "show"});
  EXPECT_EQ(RunSimulated(show.command, path, sleeper, out, err), kExitOk);
  EXPECT_NE(out.str().find("DPI: X 2400, Y 400"), std::string::npos) << out.str();
  EXPECT_TRUE(err.str().empty()) << err.str();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvid::tesselctl
