// SPDX-License-Identifier: MIT
#include "protocol/tesselctl/Tesselctl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "sim/SimulatedTessel.h"

namespace korvid::tesselctl {
namespace {

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
  EXPECT_NE(Parse({"set", "dpi", "7000"}).error.find("outside 100...6475"), std::string::npos);
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
  EXPECT_EQ(SelectDevice("3", nodes, &error), -1);
  EXPECT_NE(error.find("2 Korvid Tessels are attached"), std::string::npos) << error;
  EXPECT_EQ(SelectDevice("0", nodes, &error), -1);
  EXPECT_EQ(SelectDevice("/dev/hidraw1", nodes, &error), -1);
  EXPECT_EQ(SelectDevice("", {}, &error), -1);
  EXPECT_EQ(error, "no Korvid Tessel attached");
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

TEST(TesselctlOutputTest, StatusesAreNamedWithTheirCode) {
  EXPECT_EQ(DescribeStatus(kCommandBusyTimeout), "kCommandBusyTimeout (-6911)");
  EXPECT_EQ(DescribeStatus(kCommandFailed), "kCommandFailed (-6902)");
  EXPECT_EQ(DescribeStatus(kIOReturnNoDevice), "kIOReturnNoDevice (0xE00002C0)");
  EXPECT_EQ(DescribeStatus(-1234), "status -1234");
  EXPECT_EQ(DescribeStatus(static_cast<OSStatus>(0xE00002FFu)), "status 0xE00002FF");
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
            "DPI: X 800, Y 1800\n"
            "Stage: 3\n"
            "Wheel light: on\n"
            "Battery light: off\n");
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
            "DPI: X 1800, Y 1800\n"
            "Stage: 3\n"
            "Wheel light: on\n"
            "Battery light: on\n");
}

TEST_F(TesselctlRunTest, SetsAndShows) {
  EXPECT_EQ(Run({"set", "dpi", "800:1210"}), kExitOk);
  EXPECT_EQ(out.str(), "DPI set to X 800, Y 1200\n");
  EXPECT_EQ(mouse.CurrentSteps(), 0x1C2C);
  EXPECT_EQ(Run({"set", "polling", "8"}), kExitOk);
  EXPECT_EQ(Run({"set", "light", "battery", "off"}), kExitOk);
  EXPECT_EQ(Run({"show"}), kExitOk);
  EXPECT_NE(out.str().find("Polling rate: 125 Hz\nDPI: X 800, Y 1200\nStage: 3\nWheel light: on\nBattery light: off\n"),
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
  EXPECT_EQ(err.str(), "tesselctl: cannot set the polling rate: kCommandFailed (-6902)\n");
  EXPECT_EQ(mouse.Settings()[1], 2);
  mouse.InjectReplyDataLength(80, 0);
  mouse.InjectBusyReads(1 << 20);
  EXPECT_EQ(Run({"show"}), kExitDeviceFailure);
  EXPECT_EQ(err.str(), "tesselctl: cannot read the firmware version: kCommandBusyTimeout (-6911)\n");
  EXPECT_TRUE(out.str().empty());
  EXPECT_EQ(Run({"set", "polling", "1"}), kExitDeviceFailure);
  EXPECT_NE(err.str().find("kCommandBusyTimeout (-6911)"), std::string::npos);
}

TEST_F(TesselctlRunTest, FailedWriteIsReported) {
  mouse.InjectFailedWrites(1000, kIOReturnNotResponding);
  EXPECT_EQ(Run({"set", "light", "wheel", "off"}), kExitDeviceFailure);
  EXPECT_NE(err.str().find("kIOReturnNotResponding (0xE00002ED)"), std::string::npos) << err.str();
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
