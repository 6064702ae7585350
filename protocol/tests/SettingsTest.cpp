// SPDX-License-Identifier: MIT
#include "protocol/Settings.h"

#include <gtest/gtest.h>

#include "protocol/Transport.h"
#include "protocol/tests/ProtocolTestSupport.h"

namespace korvid {
namespace {

using testing::CommandWrites;
using testing::Report;
using testing::SimulatedMouseTest;
using Block = SimulatedTessel::Block;

constexpr std::uint64_t kPause = 100000;

class SettingsTest : public SimulatedMouseTest {
 protected:
  void SetSettings(std::uint8_t selector, std::uint8_t polling, std::uint8_t stage, std::uint8_t x,
                   std::uint8_t y) {
    Block s = mouse.Settings();
    s[0] = selector;
    s[1] = polling;
    s[2] = stage;
    s[3] = x;
    s[4] = y;
    mouse.SetSettings(s);
  }
  void SetConfigurationByte(std::size_t offset, std::uint8_t value) {
    Block c = mouse.Configuration();
    c[offset] = value;
    mouse.SetConfiguration(c);
  }
  // The configuration block as a host would hold it after reading it: the mouse's block.
  static Block Distinct() {
    Block c{};
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<std::uint8_t>(0x80 + i);
    return c;
  }
  // Data bytes of a command block report.
  static std::vector<std::uint8_t> Data(const Report& r) {
    return std::vector<std::uint8_t>(r.begin() + 8, r.begin() + 8 + r[4]);
  }
};

// ---- default table ------------------------------------------------------------------------------

TEST_F(SettingsTest, DefaultConfigurationTableIsTheShippedBlock) {
  EXPECT_EQ(kDefaultConfigurationBlock, SimulatedTessel::DefaultConfiguration());
  EXPECT_EQ(kDefaultConfigurationBlock[1], 0x07);
  EXPECT_EQ(kDefaultConfigurationBlock[3], 0x05);
  EXPECT_EQ(kDefaultConfigurationBlock[40], 0x06);
  EXPECT_EQ(kDefaultConfigurationBlock[41], 0x0B);
  EXPECT_EQ(kDefaultConfigurationBlock[45], 0x0C);
  for (std::size_t i = 56; i < 80; ++i) EXPECT_EQ(kDefaultConfigurationBlock[i], 0) << i;
}

// ---- stage rule ---------------------------------------------------------------------------------

TEST(StageRuleTest, OutOfRangeStageIsStageOne) {
  EXPECT_EQ(KorvidTesselEffectiveStage(0, 5), 1u);
  EXPECT_EQ(KorvidTesselEffectiveStage(6, 5), 1u);
  EXPECT_EQ(KorvidTesselEffectiveStage(255, 0), 1u);
}

TEST(StageRuleTest, StageCountCapsTheStageUnlessZero) {
  EXPECT_EQ(KorvidTesselEffectiveStage(5, 3), 3u);
  EXPECT_EQ(KorvidTesselEffectiveStage(5, 0), 5u);
  EXPECT_EQ(KorvidTesselEffectiveStage(2, 3), 2u);
  EXPECT_EQ(KorvidTesselEffectiveStage(4, 200), 4u);
}

TEST_F(SettingsTest, GetDPIReadsStageOneForAnOutOfRangeStage) {
  mouse.SetConfiguration(Distinct());
  SetConfigurationByte(3, 5);
  for (std::uint8_t stage : {0, 6, 200}) {
    SetSettings(0x80, 2, stage, 0, 0);  // selector equal to the block's byte 0
    EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0x8485u) << int{stage};
  }
}

TEST_F(SettingsTest, GetDPIUsesTheCappedStage) {
  mouse.SetConfiguration(Distinct());
  SetConfigurationByte(3, 3);
  SetSettings(0x80, 2, 5, 0, 0);
  EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0x8889u);  // stage 3: bytes 8 and 9
  SetConfigurationByte(3, 0);
  EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0x8C8Du);  // stage 5: bytes 12 and 13
}

TEST_F(SettingsTest, GetDPIOfTheDefaultMouseIsStageThree) {
  EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0x4444u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 2 * kPause);
}

// ---- setters: read-modify-write --------------------------------------------------------------------

TEST_F(SettingsTest, SetPollingRateRewritesOnlyByteOne) {
  SetSettings(0x03, 2, 4, 0x11, 0x22);
  KorvidTesselSetPollingRate(&mouse, 0x108, sleeper);  // low 8 bits stored
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0][3], 5);
  EXPECT_EQ(writes[0][4], 0);  // read with no data
  EXPECT_EQ(writes[1][2], 0);  // write
  EXPECT_EQ(Data(writes[1]), (std::vector<std::uint8_t>{0x03, 0x08, 0x04, 0x11, 0x22}));
  EXPECT_EQ(mouse.Settings()[1], 8);
  EXPECT_EQ(KorvidTesselGetPollingRate(&mouse, sleeper), 8u);
}

TEST_F(SettingsTest, SetDPIWithStageZeroKeepsTheStage) {
  mouse.SetConfiguration(Distinct());
  SetSettings(0x80, 2, 2, 0x01, 0x02);
  KorvidTesselSetDPI(&mouse, 0x3040, 0, sleeper);

  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(Data(writes[1]), (std::vector<std::uint8_t>{0x80, 0x02, 0x02, 0x30, 0x40}));
  EXPECT_EQ(Data(writes[2]), (std::vector<std::uint8_t>{0x80}));  // selector from the reply
  Block expected = Distinct();
  expected[6] = 0x30;  // stage 2
  expected[7] = 0x40;
  EXPECT_EQ(Data(writes[3]), std::vector<std::uint8_t>(expected.begin(), expected.begin() + 56));
  EXPECT_EQ(mouse.CurrentSteps(), 0x3040);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 4 * kPause);
}

TEST_F(SettingsTest, SetDPIWithTheCurrentStageRewritesNothingInByteTwo) {
  SetSettings(0x01, 2, 3, 0, 0);
  KorvidTesselSetDPI(&mouse, 0x1C2C, 3, sleeper);
  EXPECT_EQ(Data(CommandWrites(mouse)[1])[2], 3);
  EXPECT_EQ(mouse.Configuration()[8], 0x1C);
  EXPECT_EQ(mouse.Configuration()[9], 0x2C);
}

TEST_F(SettingsTest, SetDPIWithANewStageAboveTheCountWritesTheCappedStage) {
  SetConfigurationByte(3, 3);
  SetSettings(0x01, 2, 1, 0, 0);
  KorvidTesselSetDPI(&mouse, 0x5566, 5, sleeper);
  EXPECT_EQ(mouse.Settings()[2], 5);
  EXPECT_EQ(mouse.Configuration()[8], 0x55);  // stage 3
  EXPECT_EQ(mouse.Configuration()[9], 0x66);
  EXPECT_EQ(mouse.Configuration()[12], 0xDC);  // stage 5 untouched
}

TEST_F(SettingsTest, SetDPIWithAnOutOfRangeStageWritesStageOne) {
  SetSettings(0x01, 2, 0, 0, 0);
  KorvidTesselSetDPI(&mouse, 0x7777, 0, sleeper);
  EXPECT_EQ(mouse.Configuration()[4], 0x77);
  EXPECT_EQ(mouse.Configuration()[5], 0x77);
  EXPECT_EQ(mouse.Settings()[2], 0);
}

TEST_F(SettingsTest, SetDPIStageAbove255WritesTheSameStageToBothBlocks) {
  SetSettings(0x01, 2, 1, 0, 0);
  KorvidTesselSetDPI(&mouse, 0x6161, 0x103, sleeper);  // the mouse keeps stage 3
  EXPECT_EQ(mouse.Settings()[2], 3);
  EXPECT_EQ(mouse.Configuration()[8], 0x61);
  EXPECT_EQ(mouse.Configuration()[4], 0x1C);  // stage 1 untouched
}

TEST_F(SettingsTest, SetDPIGoesOnWhenTheSettingsWriteFails) {
  // The second exchange is the settings write: make the mouse refuse it.
  int pauses = 0;
  sleeper.OnSleep([&](std::uint32_t us) {
    if (us == kPause && ++pauses == 2) mouse.InjectFailureStatus(7);
  });
  KorvidTesselSetDPI(&mouse, 0x2020, 0, sleeper);
  EXPECT_EQ(mouse.Settings()[3], 0x44);  // not taken
  EXPECT_EQ(mouse.Configuration()[8], 0x20);
  EXPECT_EQ(mouse.Configuration()[9], 0x20);
  EXPECT_EQ(pauses, 4);
}

TEST_F(SettingsTest, SetDPICheckedReportsTheFailedSettingsWrite) {
  int pauses = 0;
  sleeper.OnSleep([&](std::uint32_t us) {
    if (us == kPause && ++pauses == 2) mouse.InjectFailureStatus(7);
  });
  EXPECT_EQ(KorvidTesselSetDPIChecked(&mouse, 0x2020, 0, sleeper), kCommandFailed);
}

TEST_F(SettingsTest, LedBitOnOverMask06Writes07) {
  SetConfigurationByte(1, 0x06);
  KorvidTesselSetLedState(&mouse, kWheelLightBit, 1, sleeper);
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2][8 + 1], 0x07);
  EXPECT_EQ(writes[2][4], 56);
  EXPECT_EQ(mouse.Configuration()[1], 0x07);
}

TEST_F(SettingsTest, LedBitOffOverMask07Writes05) {
  SetConfigurationByte(1, 0x07);
  KorvidTesselSetLedState(&mouse, kBatteryLightBit, 0, sleeper);
  EXPECT_EQ(mouse.Configuration()[1], 0x05);
  KorvidTesselSetLedState(&mouse, kBatteryLightBit, 0, sleeper);  // already off: stays off
  EXPECT_EQ(mouse.Configuration()[1], 0x05);
  EXPECT_EQ(KorvidTesselGetLedState(&mouse, kBatteryLightBit, sleeper), 0u);
  EXPECT_EQ(KorvidTesselGetLedState(&mouse, kWheelLightBit, sleeper), 1u);
}

TEST_F(SettingsTest, LedBitNumbersAboveSevenChangeNothing) {
  SetConfigurationByte(1, 0xA5);
  KorvidTesselSetLedState(&mouse, 8, 1, sleeper);
  KorvidTesselSetLedState(&mouse, 40, 0, sleeper);
  EXPECT_EQ(mouse.Configuration()[1], 0xA5);
  EXPECT_EQ(KorvidTesselGetLedState(&mouse, 40, sleeper), 0u);
  EXPECT_EQ(KorvidTesselGetLedState(&mouse, 7, sleeper), 1u);
}

TEST_F(SettingsTest, SetLedStateWritesTheRestOfTheBlockAsRead) {
  mouse.SetConfiguration(Distinct());
  SetSettings(0x80, 2, 3, 0, 0);
  KorvidTesselSetLedState(&mouse, kWheelLightBit, 0, sleeper);
  Block expected = Distinct();
  expected[1] = 0x80;
  const auto writes = CommandWrites(mouse);
  EXPECT_EQ(Data(writes[2]), std::vector<std::uint8_t>(expected.begin(), expected.begin() + 56));
}

TEST_F(SettingsTest, FirmwareVersionIsMajorTimes256PlusMinor) {
  mouse.SetFirmwareVersion(1, 5);
  EXPECT_EQ(KorvidTesselGetFirmwareVers(&mouse, sleeper), 0x0105u);
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0][3], 2);
  EXPECT_EQ(writes[0][2], 1);
}

// ---- restore defaults ---------------------------------------------------------------------------

TEST_F(SettingsTest, RestoreDefaultsWritesTheTableUnderTheMouseSelector) {
  mouse.SetConfiguration(Distinct());
  SetSettings(0x80, 8, 1, 0x10, 0x10);
  const Block settingsBefore = mouse.Settings();
  KorvidTesselRestoreDefaults(&mouse, sleeper);

  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1][4], 56);
  Block expected = kDefaultConfigurationBlock;
  expected[0] = 0x80;
  for (std::size_t i = 56; i < 80; ++i) expected[i] = Distinct()[i];  // never sent
  EXPECT_EQ(mouse.Configuration(), expected);
  EXPECT_EQ(mouse.Settings(), settingsBefore);
}

TEST_F(SettingsTest, RestoreSequenceLeavesTheMouseAtItsDefaults) {
  mouse.SetConfiguration(Distinct());
  SetSettings(0x80, 8, 1, 0x10, 0x10);
  EXPECT_EQ(KorvidTesselRestoreDefaultSettings(&mouse, sleeper), noErr);

  const Block settings = mouse.Settings();
  EXPECT_EQ(settings[0], 0x80);
  EXPECT_EQ(settings[1], 2);
  EXPECT_EQ(settings[2], 3);
  EXPECT_EQ(settings[3], 0x44);
  EXPECT_EQ(settings[4], 0x44);
  const Block configuration = mouse.Configuration();
  EXPECT_EQ(configuration[0], 0x80);
  EXPECT_EQ(configuration[1], 0x07);
  EXPECT_EQ(configuration[8], 0x44);
  EXPECT_EQ(configuration[9], 0x44);
  EXPECT_TRUE(std::equal(configuration.begin() + 1, configuration.begin() + 56, kDefaultConfigurationBlock.begin() + 1));
  // Two exchanges, four, then two; the last write is the settings block.
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 8u);
  EXPECT_EQ(Data(writes[7]), (std::vector<std::uint8_t>{0x80, 0x02, 0x03, 0x44, 0x44}));
  EXPECT_EQ(sleeper.TotalMicroseconds(), 8 * kPause);
}

// ---- failures -----------------------------------------------------------------------------------------

TEST_F(SettingsTest, GettersReturnZeroWhenTheMouseStaysBusy) {
  mouse.InjectBusyReads(1 << 20);
  EXPECT_EQ(KorvidTesselGetPollingRate(&mouse, sleeper), 0u);
  EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0u);
  EXPECT_EQ(KorvidTesselGetLedState(&mouse, 0, sleeper), 0u);
  EXPECT_EQ(KorvidTesselGetFirmwareVers(&mouse, sleeper), 0u);
  std::uint32_t value = 99;
  EXPECT_EQ(KorvidTesselGetFirmwareVersChecked(&mouse, &value, sleeper), kCommandBusyTimeout);
  EXPECT_EQ(value, 0u);
}

TEST_F(SettingsTest, GettersReturnZeroWhenAFailedReplyCarriesData) {
  SetSettings(0x01, 0x08, 0x03, 0x44, 0x44);
  std::uint32_t value = 99;
  mouse.InjectFailureStatus(3, 1, true);
  EXPECT_EQ(KorvidTesselGetPollingRateChecked(&mouse, &value, sleeper), kCommandFailed);
  EXPECT_EQ(value, 0u);
  value = 99;
  mouse.InjectFailureStatus(3, 1, true);
  EXPECT_EQ(KorvidTesselGetFirmwareVersChecked(&mouse, &value, sleeper), kCommandFailed);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(KorvidTesselGetPollingRate(&mouse, sleeper), 8u);  // the mouse does hold code 8
}

TEST_F(SettingsTest, GetDPIReturnsZeroWhenTheConfigurationReadFails) {
  int pauses = 0;
  sleeper.OnSleep([&](std::uint32_t us) {
    if (us == kPause && ++pauses == 2) mouse.InjectFailureStatus(3);
  });
  EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0u);
}

TEST_F(SettingsTest, SettersStopWithoutWritingAfterAFailedRead) {
  const auto before = mouse.GetState();
  mouse.InjectFailureStatus(3, 4);
  KorvidTesselSetPollingRate(&mouse, 8, sleeper);
  KorvidTesselSetDPI(&mouse, 0x1010, 1, sleeper);
  KorvidTesselSetLedState(&mouse, 0, 0, sleeper);
  KorvidTesselRestoreDefaults(&mouse, sleeper);
  EXPECT_EQ(CommandWrites(mouse).size(), 4u);  // one read each
  EXPECT_EQ(mouse.GetState(), before);
}

TEST_F(SettingsTest, AShortReplyIsAFailedRead) {
  // Every reply from the operation's `exchange`th on carries `length` data bytes.
  int pauses = 0;
  auto shortFrom = [&](int exchange, std::uint8_t length) {
    mouse.InjectReplyDataLength(80, 0);
    pauses = 0;
    sleeper.OnSleep([&, exchange, length](std::uint32_t us) {
      if (us == kPause && ++pauses == exchange) mouse.InjectReplyDataLength(length, 1000);
    });
  };
  SetSettings(0x01, 0x02, 0x03, 0x44, 0x44);
  const auto before = mouse.GetState();
  std::uint32_t value = 99;
  // Settings reads shorter than the block a setter writes back.
  for (std::uint8_t length : {0, 4}) {
    SCOPED_TRACE(::testing::Message() << "settings reply of " << int{length});
    shortFrom(1, length);
    EXPECT_EQ(KorvidTesselSetDPIChecked(&mouse, 0x5050, 0, sleeper), kCommandFailed);
    EXPECT_EQ(KorvidTesselSetPollingRateChecked(&mouse, 8, sleeper), kCommandFailed);
    EXPECT_EQ(KorvidTesselGetDPIChecked(&mouse, &value, sleeper), kCommandFailed);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(mouse.GetState(), before);
  }
  shortFrom(1, 2);  // the stage is the third byte
  EXPECT_EQ(KorvidTesselGetStageChecked(&mouse, &value, sleeper), kCommandFailed);
  EXPECT_EQ(value, 0u);
  shortFrom(1, 0);
  EXPECT_EQ(KorvidTesselRestoreDefaultsChecked(&mouse, sleeper), kCommandFailed);  // no selector
  EXPECT_EQ(KorvidTesselGetFirmwareVers(&mouse, sleeper), 0u);
  EXPECT_EQ(mouse.GetState(), before);
  // Configuration reads shorter than the 56 bytes written back, or than the steps read.
  for (std::uint8_t length : {0, 13, 55}) {
    SCOPED_TRACE(::testing::Message() << "configuration reply of " << int{length});
    shortFrom(2, length);
    EXPECT_EQ(KorvidTesselSetLedStateChecked(&mouse, kBatteryLightBit, 0, sleeper), kCommandFailed);
    shortFrom(3, length);  // after the settings write, which takes
    EXPECT_EQ(KorvidTesselSetDPIChecked(&mouse, 0x5050, 0, sleeper), kCommandFailed);
    EXPECT_EQ(mouse.Configuration(), before.configuration);
    if (length < 14) {
      shortFrom(2, length);
      EXPECT_EQ(KorvidTesselGetDPI(&mouse, sleeper), 0u);
    }
  }
  EXPECT_EQ(mouse.ViolationCount(), 0u);
}

TEST_F(SettingsTest, SetLedStateStopsWhenTheConfigurationReadFails) {
  int pauses = 0;
  sleeper.OnSleep([&](std::uint32_t us) {
    if (us == kPause && ++pauses == 2) mouse.InjectFailureStatus(3);
  });
  KorvidTesselSetLedState(&mouse, 0, 0, sleeper);
  EXPECT_EQ(CommandWrites(mouse).size(), 2u);
  EXPECT_EQ(mouse.Configuration()[1], 0x07);
}

TEST(SettingsNoDeviceTest, OperationsOnNoDeviceDoNothing) {
  VirtualSleeper sleeper;
  KorvidTesselSetPollingRate(nullptr, 2, sleeper);
  EXPECT_EQ(KorvidTesselGetDPI(nullptr, sleeper), 0u);
  EXPECT_EQ(KorvidTesselRestoreDefaultSettings(nullptr, sleeper), kCommandBusyTimeout);
}

}  // namespace
}  // namespace korvid
