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

TEST(TesselctlArgumentsTest, PollingCodes) {
  for (const char* code : {"8", "2", "1"}) {
    const ParseResult r = Parse({"set", "polling", code});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.command.pollingCode, code[0] - '0');
  }
  EXPECT_FALSE(Parse({"set", "polling", "4"}).ok);
  EXPECT_FALSE(Parse({"set", "polling", "1000"}).ok);
  EXPECT_FALSE(Parse({"set", "polling"}).ok);
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

TEST(TesselctlOutputTest, DpiSteps) {
  EXPECT_EQ(DpiToStep(100), 0);
  EXPECT_EQ(DpiToStep(1800), 0x44);
  EXPECT_EQ(DpiToStep(1810), 0x44);  // not reachable exactly: rounds down
  EXPECT_EQ(DpiToStep(6475), 255);
  EXPECT_EQ(StepToDpi(0x44), 1800u);
}

TEST(TesselctlOutputTest, FirmwareVersionHasTwoMinorDigits) {
  EXPECT_EQ(FormatFirmwareVersion(0x0105), "1.05");
  EXPECT_EQ(FormatFirmwareVersion(0x0A1E), "10.30");
  EXPECT_EQ(FormatFirmwareVersion(0), "0.00");
}

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
  EXPECT_EQ(FormatReadout(r),
            "Firmware version: 1.05\n"
            "Polling rate code: 2\n"
            "DPI: X 800, Y 1800\n"
            "Wheel light: on\n"
            "Battery light: off\n");
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
            "Polling rate code: 2\n"
            "DPI: X 1800, Y 1800\n"
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
  EXPECT_NE(out.str().find("Polling rate code: 8\nDPI: X 800, Y 1200\nWheel light: on\nBattery light: off\n"),
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
