// SPDX-License-Identifier: MIT
#include "sim/SimulatedTessel.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Identity.h"

namespace korvid {
namespace {

using Report = SimulatedTessel::Report;

// Reports built here by hand, so the mouse's checks are tested on their own.
Report Block(bool read, std::uint8_t command, unsigned index, std::vector<std::uint8_t> data) {
  Report r{};
  r[0] = 1;
  r[2] = read ? 1 : 0;
  r[3] = command;
  r[4] = static_cast<std::uint8_t>(data.size());
  r[5] = static_cast<std::uint8_t>(index >> 8);
  r[6] = static_cast<std::uint8_t>(index & 0xFF);
  std::copy(data.begin(), data.end(), r.begin() + 8);
  for (std::size_t i = 2; i < 88; ++i) r[88] ^= r[i];
  r[89] = 1;
  return r;
}

Report ClearBusy() {
  Report r{};
  r[0] = 1;
  r[89] = 1;
  return r;
}

class SimulatedTesselTest : public ::testing::Test {
 protected:
  IOReturn Write(Report report, std::uint16_t wLength = 90) {
    IOUSBDevRequest request{0x21, 9, 0x0300, 0, wLength, std::span(report), 0};
    return mouse.DeviceRequest(request);
  }
  IOReturn Read(Report& report) {
    IOUSBDevRequest request{0xA1, 1, 0x0300, 0, 90, std::span(report), 0};
    return mouse.DeviceRequest(request);
  }
  Report Read() {
    Report r{};
    EXPECT_EQ(Read(r), kIOReturnSuccess);
    return r;
  }
  // One whole exchange of one block: write, poll until done, clear busy.
  Report Exchange(const Report& block) {
    EXPECT_EQ(Write(block), kIOReturnSuccess);
    Report reply;
    do {
      reply = Read();
    } while (reply[1] < 2);
    EXPECT_EQ(Write(ClearBusy()), kIOReturnSuccess);
    return reply;
  }
  void ExpectViolation(const std::string& words) {
    const auto violations = mouse.Violations();
    ASSERT_EQ(violations.size(), 1u) << (violations.empty() ? "" : violations.back());
    EXPECT_NE(violations[0].find(words), std::string::npos) << violations[0];
  }

  SimulatedTessel mouse;
};

// ---- identity and defaults --------------------------------------------------------------------

TEST_F(SimulatedTesselTest, IdentifiesAsATessel) {
  EXPECT_EQ(mouse.GetDeviceVendor(), kTesselVendorID);
  EXPECT_EQ(mouse.GetDeviceProduct(), kTesselProductID);
  mouse.SetLocationID(0x14200000);
  mouse.SetDeviceReleaseNumber(0x0210);
  mouse.SetDeviceBusPowerAvailable(50);
  EXPECT_EQ(mouse.GetLocationID(), 0x14200000u);
  EXPECT_EQ(mouse.GetDeviceReleaseNumber(), 0x0210);
  EXPECT_EQ(mouse.GetDeviceBusPowerAvailable(), 50u);
}

TEST_F(SimulatedTesselTest, ShipsAtStageThreeWith1800Dpi) {
  EXPECT_EQ(mouse.CurrentStage(), 3u);
  EXPECT_EQ(mouse.CurrentSteps(), 0x4444);
  EXPECT_EQ(mouse.Information()[32], 1);
  EXPECT_EQ(mouse.Information()[33], 5);
}

TEST_F(SimulatedTesselTest, StageRuleOfTheMouse) {
  auto settings = mouse.Settings();
  settings[2] = 7;
  mouse.SetSettings(settings);
  EXPECT_EQ(mouse.CurrentStage(), 1u);
  settings[2] = 5;
  mouse.SetSettings(settings);
  auto configuration = mouse.Configuration();
  configuration[3] = 2;
  mouse.SetConfiguration(configuration);
  EXPECT_EQ(mouse.CurrentStage(), 2u);
  EXPECT_EQ(mouse.CurrentSteps(), 0x2C2C);
}

// ---- exchanges ----------------------------------------------------------------------------------

TEST_F(SimulatedTesselTest, AnswersAReadOfEachBlock) {
  EXPECT_EQ(Read()[0], 0);  // free
  Report reply = Exchange(Block(true, 5, 0, {}));
  EXPECT_EQ(reply[1], 2);
  EXPECT_EQ(reply[4], 80);
  EXPECT_TRUE(std::equal(reply.begin() + 8, reply.begin() + 88, mouse.Settings().begin()));

  reply = Exchange(Block(true, 6, 0, {0x01}));
  EXPECT_TRUE(std::equal(reply.begin() + 8, reply.begin() + 88, mouse.Configuration().begin()));
  reply = Exchange(Block(true, 2, 0, {}));
  EXPECT_EQ(reply[8 + 32], 1);
  EXPECT_EQ(reply[8 + 33], 5);
  EXPECT_EQ(mouse.ViolationCount(), 0u);
}

TEST_F(SimulatedTesselTest, StaysBusyUntilCleared) {
  ASSERT_EQ(Write(Block(true, 5, 0, {})), kIOReturnSuccess);
  EXPECT_EQ(Read()[1], 2);
  EXPECT_EQ(Read()[0], 1);  // done, still busy
  ASSERT_EQ(Write(ClearBusy()), kIOReturnSuccess);
  EXPECT_EQ(Read()[0], 0);
}

TEST_F(SimulatedTesselTest, WritesTakeTheirBytes) {
  Exchange(Block(false, 5, 0, {0x01, 8, 2, 0x10, 0x20}));
  EXPECT_EQ(mouse.Settings()[1], 8);
  EXPECT_EQ(mouse.CurrentStage(), 2u);
  std::vector<std::uint8_t> configuration(56, 0);
  configuration[0] = 0x01;
  configuration[1] = 0x02;
  Exchange(Block(false, 6, 0, configuration));
  EXPECT_EQ(mouse.Configuration()[1], 0x02);
  EXPECT_EQ(mouse.Configuration()[56], 0);
  EXPECT_EQ(Exchange(Block(false, 2, 0, {1}))[1], 3);  // the information block is read-only
  EXPECT_EQ(mouse.ViolationCount(), 0u);
}

TEST_F(SimulatedTesselTest, WorkingRepliesPrecedeDone) {
  mouse.SetWorkingPolls(3, 0);
  ASSERT_EQ(Write(Block(true, 5, 0, {})), kIOReturnSuccess);
  EXPECT_EQ(Read()[1], 0);
  EXPECT_EQ(Read()[1], 0);
  EXPECT_EQ(Read()[1], 0);
  EXPECT_EQ(Read()[1], 2);
}

TEST_F(SimulatedTesselTest, MultiBlockCommandRunsWhenBlockZeroArrives) {
  std::vector<std::uint8_t> high(1, 0xAB), low(80, 0x11);
  EXPECT_EQ(Exchange(Block(false, 0x40, 1, high))[1], 2);
  EXPECT_EQ(Exchange(Block(false, 0x40, 0, low))[1], 2);
  EXPECT_EQ(mouse.ViolationCount(), 0u);
}

// ---- checks -------------------------------------------------------------------------------------

TEST_F(SimulatedTesselTest, FlagsABadChecksum) {
  Report r = Block(true, 5, 0, {});
  r[88] ^= 0x01;
  Write(r);
  ExpectViolation("checksum");
}

TEST_F(SimulatedTesselTest, FlagsABadTrailer) {
  Report r = Block(true, 5, 0, {});
  r[89] = 0;
  Write(r);
  ExpectViolation("trailer");
}

TEST_F(SimulatedTesselTest, FlagsAReservedByte) {
  Report r = Block(true, 5, 0, {});
  r[7] = 1;
  r[88] ^= 1;
  Write(r);
  ExpectViolation("reserved");
}

TEST_F(SimulatedTesselTest, FlagsARequestFlagOtherThanOne) {
  Report r = Block(true, 5, 0, {});
  r[0] = 0;
  Write(r);
  ExpectViolation("request flag");
}

TEST_F(SimulatedTesselTest, FlagsAnOversizeDataLength) {
  Report r = Block(false, 5, 0, {});
  r[4] = 81;
  r[88] ^= 81;
  Write(r);
  ExpectViolation("above 80");
}

TEST_F(SimulatedTesselTest, FlagsBytesAfterTheData) {
  Report r = Block(false, 5, 0, {1});
  r[20] = 9;
  r[88] ^= 9;
  Write(r);
  ExpectViolation("not zero");
}

TEST_F(SimulatedTesselTest, FlagsAWrongLengthAndRefusesIt) {
  EXPECT_EQ(Write(Block(true, 5, 0, {}), 64), kIOReturnBadArgument);
  ExpectViolation("wLength");
}

TEST_F(SimulatedTesselTest, FlagsAnUnknownRequest) {
  Report r{};
  IOUSBDevRequest request{0x80, 6, 0x0100, 0, 90, std::span(r), 0};
  EXPECT_EQ(mouse.DeviceRequest(request), kIOReturnUnsupported);
  ExpectViolation("unknown request");
}

TEST_F(SimulatedTesselTest, FlagsAnUnclearedTransferCount) {
  Report r{};
  IOUSBDevRequest request{0xA1, 1, 0x0300, 0, 90, std::span(r), 12};
  EXPECT_EQ(mouse.DeviceRequest(request), kIOReturnSuccess);
  EXPECT_EQ(request.wLenDone, 90u);
  ExpectViolation("wLenDone");
}

TEST_F(SimulatedTesselTest, FlagsBlocksOutOfOrder) {
  Exchange(Block(false, 0x40, 0, std::vector<std::uint8_t>(80, 1)));
  Exchange(Block(false, 0x40, 2, {1}));
  Exchange(Block(false, 0x40, 0, std::vector<std::uint8_t>(80, 1)));  // block 1 skipped
  ExpectViolation("expected block 1");
}

TEST_F(SimulatedTesselTest, FlagsAShortLowerBlock) {
  Exchange(Block(false, 0x40, 1, {1}));
  Exchange(Block(false, 0x40, 0, {1, 2}));
  ExpectViolation("only the first block");
}

TEST_F(SimulatedTesselTest, FlagsABlockBeforeTheExchangeWasCleared) {
  Write(Block(true, 5, 0, {}));
  Read();
  Write(Block(true, 5, 0, {}));
  ExpectViolation("before the previous exchange was cleared");
}

TEST_F(SimulatedTesselTest, FlagsAWrongConfigurationSelector) {
  Exchange(Block(true, 6, 0, {0x09}));
  ExpectViolation("selector");
}

// ---- faults -------------------------------------------------------------------------------------

TEST_F(SimulatedTesselTest, BusyReadsShowTheFlag) {
  mouse.InjectBusyReads(2);
  EXPECT_EQ(Read()[0], 1);
  EXPECT_EQ(Read()[0], 1);
  EXPECT_EQ(Read()[0], 0);
}

TEST_F(SimulatedTesselTest, FailedWritesAreNotTaken) {
  mouse.InjectFailedWrites(1, kIOReturnNotResponding);
  EXPECT_EQ(Write(Block(false, 5, 0, {0x01, 8, 3, 0, 0})), kIOReturnNotResponding);
  EXPECT_EQ(Read()[0], 0);  // still idle
  EXPECT_EQ(mouse.Settings()[1], 2);
}

TEST_F(SimulatedTesselTest, FailedReadsLeaveTheBufferAlone) {
  mouse.InjectFailedReads(1, kIOReturnIOError);
  Report r;
  r.fill(0x77);
  EXPECT_EQ(Read(r), kIOReturnIOError);
  EXPECT_EQ(r[0], 0x77);
}

TEST_F(SimulatedTesselTest, FailureStatusSkipsTheCommand) {
  mouse.InjectFailureStatus(9);
  EXPECT_EQ(Exchange(Block(false, 5, 0, {0x01, 8, 3, 0, 0}))[1], 9);
  EXPECT_EQ(mouse.Settings()[1], 2);
  EXPECT_EQ(Exchange(Block(false, 5, 0, {0x01, 8, 3, 0, 0}))[1], 2);
  EXPECT_EQ(mouse.Settings()[1], 8);
}

TEST_F(SimulatedTesselTest, OversizeReplyLength) {
  mouse.InjectReplyDataLength(200);
  EXPECT_EQ(Exchange(Block(true, 5, 0, {}))[4], 200);
  EXPECT_EQ(Exchange(Block(true, 5, 0, {}))[4], 80);
}

TEST_F(SimulatedTesselTest, UnplugAfterSomeRequestsIsForever) {
  mouse.UnplugAfter(1);
  Report r{};
  EXPECT_EQ(Read(r), kIOReturnSuccess);
  EXPECT_EQ(Read(r), kIOReturnNoDevice);
  EXPECT_EQ(Write(ClearBusy()), kIOReturnNoDevice);
  EXPECT_FALSE(mouse.Plugged());
  mouse.Replug();
  EXPECT_EQ(Read(r), kIOReturnSuccess);
}

// ---- traffic log --------------------------------------------------------------------------------

TEST_F(SimulatedTesselTest, LogsEveryRequestWithItsBytes) {
  const Report block = Block(true, 5, 0, {});
  Exchange(block);
  const auto traffic = mouse.Traffic();
  ASSERT_EQ(traffic.size(), 3u);
  EXPECT_TRUE(traffic[0].write);
  EXPECT_EQ(traffic[0].bytes, block);
  EXPECT_FALSE(traffic[1].write);
  EXPECT_EQ(traffic[1].bytes[1], 2);
  EXPECT_EQ(traffic[2].bytes, ClearBusy());
  EXPECT_EQ(mouse.Writes().size(), 2u);
  mouse.SetTrafficLogEnabled(false);
  Exchange(block);
  EXPECT_EQ(mouse.Traffic().size(), 3u);  // not logged, but counted
  EXPECT_EQ(mouse.RequestCount(), 6u);
}

TEST_F(SimulatedTesselTest, ServesRequestsFromAnotherThread) {
  std::thread worker([this] {
    for (int i = 0; i < 200; ++i) Exchange(Block(false, 5, 0, {0x01, static_cast<std::uint8_t>(i), 3, 0, 0}));
  });
  for (int i = 0; i < 200; ++i) (void)mouse.GetState();
  worker.join();
  EXPECT_EQ(mouse.Settings()[1], 199);
  EXPECT_EQ(mouse.ViolationCount(), 0u);
}

// ---- state file ---------------------------------------------------------------------------------

class SimulatedTesselStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvid-sim-state-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(SimulatedTesselStateTest, SavedStateLoadsBack) {
  SimulatedTessel::State state = SimulatedTessel::DefaultState();
  state.settings[1] = 8;
  state.configuration[55] = 0xFE;
  state.information[79] = 0x42;
  const std::string path = (dir_ / "deep" / "mouse.state").string();
  ASSERT_EQ(SaveSimulatedTesselState(path, state), noErr);
  SimulatedTessel::State loaded;
  ASSERT_EQ(LoadSimulatedTesselState(path, loaded), noErr);
  EXPECT_EQ(loaded, state);
}

TEST_F(SimulatedTesselStateTest, MissingFileLeavesTheStateAlone) {
  SimulatedTessel::State state = SimulatedTessel::DefaultState();
  EXPECT_EQ(LoadSimulatedTesselState((dir_ / "none").string(), state), fnfErr);
  EXPECT_EQ(state, SimulatedTessel::DefaultState());
}

TEST_F(SimulatedTesselStateTest, MalformedFileIsRefused) {
  const std::string path = (dir_ / "bad.state").string();
  for (const char* text : {"settings 00\n", "settings zz\n", "nonsense\n",
                           "settings 00 extra\nconfiguration 00\ninformation 00\n"}) {
    std::ofstream(path) << text;
    SimulatedTessel::State state = SimulatedTessel::DefaultState();
    EXPECT_EQ(LoadSimulatedTesselState(path, state), ioErr) << text;
    EXPECT_EQ(state, SimulatedTessel::DefaultState());
  }
  // One block missing.
  ASSERT_EQ(SaveSimulatedTesselState(path, SimulatedTessel::DefaultState()), noErr);
  std::string text;
  {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("information", 0) != 0) text += line + "\n";
    }
  }
  std::ofstream(path) << text;
  SimulatedTessel::State state;
  EXPECT_EQ(LoadSimulatedTesselState(path, state), ioErr);
}

TEST_F(SimulatedTesselStateTest, FileStaysLockedFromLoadToSave) {
  const std::string path = (dir_ / "mouse.state").string();
  auto tryLock = [&] {
    const int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) ::close(fd);
    return locked;
  };
  {
    SimulatedTesselStateFile file(path);
    SimulatedTessel::State state = SimulatedTessel::DefaultState();
    EXPECT_EQ(file.Load(state), fnfErr);
    EXPECT_FALSE(tryLock());
    EXPECT_EQ(file.Save(state), noErr);
  }
  EXPECT_TRUE(tryLock());
}

TEST_F(SimulatedTesselStateTest, DefaultPathFollowsXdgStateHome) {
  const char* oldState = std::getenv("XDG_STATE_HOME");
  const std::string saved = oldState ? oldState : "";
  ::setenv("XDG_STATE_HOME", dir_.c_str(), 1);
  EXPECT_EQ(DefaultSimulatedTesselStatePath(), (dir_ / "korvid" / "simulated-tessel.state").string());
  ::unsetenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    EXPECT_EQ(DefaultSimulatedTesselStatePath(),
              (std::filesystem::path(home) / ".local/state/korvid/simulated-tessel.state").string());
  }
  if (oldState) ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace korvid
