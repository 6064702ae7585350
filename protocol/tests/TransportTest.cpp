// SPDX-License-Identifier: MIT
#include "protocol/Transport.h"

#include <gtest/gtest.h>

#include <numeric>

#include "protocol/tests/ProtocolTestSupport.h"

namespace korvid {
namespace {

using testing::CommandWrites;
using testing::CountClearBusy;
using testing::CountTransfers;
using testing::IsClearBusyReport;
using testing::Report;
using testing::SimulatedMouseTest;

constexpr std::uint64_t kMs = 1000;

class TransportTest : public SimulatedMouseTest {
 protected:
  std::array<std::uint8_t, 4096 + 80> buffer{};
};

// ---- report framing ----------------------------------------------------------------------

TEST_F(TransportTest, ReadOfSettingsSendsTheWorkedReport) {
  ASSERT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), noErr);

  Report expected{};
  expected[0] = 0x01;
  expected[2] = 0x01;
  expected[3] = 0x05;
  expected[88] = 0x04;
  expected[89] = 0x01;
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], expected);
}

TEST_F(TransportTest, ReadOfConfigurationCarriesTheSelectorByte) {
  auto settings = mouse.Settings();
  settings[0] = 0xA5;
  mouse.SetSettings(settings);
  buffer[0] = 0xA5;
  ASSERT_EQ(KorvidCommand(&mouse, true, 6, 1, std::span(buffer).first(80), sleeper), noErr);

  Report expected{};
  expected[0] = 0x01;
  expected[2] = 0x01;
  expected[3] = 0x06;
  expected[4] = 0x01;
  expected[8] = 0xA5;
  expected[88] = 0x06 ^ 0xA5;
  expected[89] = 0x01;
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], expected);
}

TEST_F(TransportTest, ClearBusyReportIsFlagAndTrailerOnly) {
  ASSERT_EQ(KorvidClearBusyFlag(&mouse, sleeper), noErr);
  const auto writes = mouse.Writes();
  ASSERT_EQ(writes.size(), 1u);
  Report expected{};
  expected[0] = 0x01;
  expected[89] = 0x01;
  EXPECT_EQ(writes[0], expected);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 0u);
}

TEST_F(TransportTest, ChecksumCoversTheBlockIndex) {
  std::array<std::uint8_t, 80> data{};
  std::iota(data.begin(), data.end(), std::uint8_t{0x30});
  const CommandReport block0 = CommandReport::Build(false, 6, 0, data);
  const CommandReport block1 = CommandReport::Build(false, 6, 1, data);
  EXPECT_EQ(block0.bytes[88] ^ block1.bytes[88], 0x01);

  // The same through the mouse: two equal halves of a 160-byte write.
  std::copy(data.begin(), data.end(), buffer.begin());
  std::copy(data.begin(), data.end(), buffer.begin() + 80);
  ASSERT_EQ(KorvidCommand(&mouse, false, 0x40, 160, std::span(buffer).first(160), sleeper), noErr);
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0][88] ^ writes[1][88], 0x01);
}

// ---- blocks --------------------------------------------------------------------------------

TEST_F(TransportTest, EmptyCommandIsOneBlockAndTheReplyLandsAtTheStart) {
  std::array<std::uint8_t, 80> area{};
  ASSERT_EQ(KorvidCommand(&mouse, true, 5, 0, area, sleeper), noErr);
  EXPECT_EQ(area, mouse.Settings());
  // One busy-wait read, the block, one poll, one clear-busy; only the mandated pause.
  const auto traffic = mouse.Traffic();
  ASSERT_EQ(traffic.size(), 4u);
  EXPECT_FALSE(traffic[0].write);
  EXPECT_TRUE(traffic[1].write);
  EXPECT_FALSE(traffic[2].write);
  EXPECT_TRUE(IsClearBusyReport(traffic[3].bytes));
  EXPECT_EQ(sleeper.TotalMicroseconds(), 100 * kMs);
  EXPECT_EQ(sleeper.Calls(), 1u);
}

TEST_F(TransportTest, EightyOneBytesGoAsTwoBlocksHighestFirst) {
  std::iota(buffer.begin(), buffer.begin() + 81, std::uint8_t{1});
  ASSERT_EQ(KorvidCommand(&mouse, false, 0x40, 81, std::span(buffer).first(160), sleeper), noErr);

  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0][4], 1);  // block 1: one byte from offset 80
  EXPECT_EQ(writes[0][6], 1);
  EXPECT_EQ(writes[0][8], 81);
  EXPECT_EQ(writes[1][4], 80);  // block 0: 80 bytes from offset 0
  EXPECT_EQ(writes[1][6], 0);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 80, writes[1].begin() + 8));
  // A clear-busy after each block, one busy wait, a pause per block.
  EXPECT_EQ(CountClearBusy(mouse), 2u);
  EXPECT_EQ(CountTransfers(mouse, false), 3u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 200 * kMs);
}

TEST_F(TransportTest, LargestCommandIsFiftyTwoBlocksFromIndex51Down) {
  for (std::size_t i = 0; i < 4096; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + i / 80);
  ASSERT_EQ(KorvidCommand(&mouse, false, 0x41, 4096, std::span(buffer).first(4160), sleeper), noErr);

  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 52u);
  EXPECT_EQ(writes[0][5], 0x00);
  EXPECT_EQ(writes[0][6], 0x33);
  EXPECT_EQ(writes[0][4], 16);
  EXPECT_TRUE(std::equal(buffer.begin() + 4080, buffer.begin() + 4096, writes[0].begin() + 8));
  for (std::size_t k = 0; k < writes.size(); ++k) {
    const unsigned index = static_cast<unsigned>(writes[k][5] << 8 | writes[k][6]);
    EXPECT_EQ(index, 51 - k);
  }
  EXPECT_EQ(CountClearBusy(mouse), 52u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 52 * 100 * kMs);
}

TEST_F(TransportTest, EightyBytesAreOneBlock) {
  ASSERT_EQ(KorvidCommand(&mouse, false, 0x40, 80, std::span(buffer).first(80), sleeper), noErr);
  const auto writes = CommandWrites(mouse);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0][4], 80);
}

// ---- refused arguments -----------------------------------------------------------------------

TEST_F(TransportTest, LengthAbove4096IsRefusedWithoutTraffic) {
  EXPECT_EQ(KorvidCommand(&mouse, false, 0x41, 4097, buffer, sleeper), paramErr);
  EXPECT_EQ(mouse.RequestCount(), 0u);
  EXPECT_EQ(sleeper.Calls(), 0u);
}

TEST_F(TransportTest, BufferTooSmallForTheRepliesIsRefusedWithoutTraffic) {
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(79), sleeper), paramErr);
  EXPECT_EQ(KorvidCommand(&mouse, false, 0x40, 81, std::span(buffer).first(159), sleeper), paramErr);
  EXPECT_EQ(KorvidCommand(&mouse, false, 0x41, 4096, std::span(buffer).first(4096), sleeper), paramErr);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span<std::uint8_t>(), sleeper), paramErr);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span<std::uint8_t>(buffer.data(), 0), sleeper), paramErr);
  EXPECT_EQ(mouse.RequestCount(), 0u);
  EXPECT_EQ(sleeper.Calls(), 0u);
}

// ---- busy wait --------------------------------------------------------------------------------

TEST_F(TransportTest, MouseBusyThroughTheWholeWaitTimesOutWithoutWriting) {
  mouse.InjectBusyReads(1000);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandBusyTimeout);
  EXPECT_EQ(CountTransfers(mouse, true), 0u);
  EXPECT_EQ(CountTransfers(mouse, false), 250u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 250 * kMs);
}

TEST_F(TransportTest, EveryReadFailingTimesOutLikeABusyMouse) {
  mouse.InjectFailedReads(250, kIOReturnNotResponding);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandBusyTimeout);
  EXPECT_EQ(CountTransfers(mouse, true), 0u);
}

TEST_F(TransportTest, MouseFreeOnTheLastWaitAttemptProceeds) {
  mouse.InjectBusyReads(249);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), noErr);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 249 * kMs + 100 * kMs);
}

// A device whose reads show a chosen request flag, to see which flags let a command go.
class FlagDevice : public UsbDeviceInterface {
 public:
  explicit FlagDevice(std::uint8_t flag) : flag_(flag) {}
  IOReturn DeviceRequest(IOUSBDevRequest& request) override {
    if (request.bmRequestType == 0x21) {
      ++writes;
      return kIOReturnSuccess;
    }
    std::fill(request.pData.begin(), request.pData.end(), 0);
    request.pData[0] = flag_;
    request.pData[1] = 2;  // done at once
    return kIOReturnSuccess;
  }
  std::uint16_t GetDeviceVendor() const override { return 0; }
  std::uint16_t GetDeviceProduct() const override { return 0; }
  std::uint16_t GetDeviceReleaseNumber() const override { return 0; }
  std::uint32_t GetDeviceBusPowerAvailable() const override { return 0; }
  std::uint32_t GetLocationID() const override { return 0; }
  int writes = 0;

 private:
  std::uint8_t flag_;
};

TEST(TransportBusyFlagTest, OnlyFlagOneMeansBusy) {
  std::array<std::uint8_t, 80> area{};
  for (std::uint8_t flag : {0, 2, 0xFF}) {
    FlagDevice device(flag);
    VirtualSleeper sleeper;
    EXPECT_EQ(KorvidCommand(&device, true, 5, 0, area, sleeper), noErr) << int{flag};
  }
  FlagDevice busy(1);
  VirtualSleeper sleeper;
  EXPECT_EQ(KorvidCommand(&busy, true, 5, 0, area, sleeper), kCommandBusyTimeout);
  EXPECT_EQ(busy.writes, 0);
}

// ---- sends ------------------------------------------------------------------------------------

TEST_F(TransportTest, WriteFailing249TimesThenSucceedingProceeds) {
  mouse.InjectFailedWrites(249, kIOReturnNotResponding);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), noErr);
  EXPECT_EQ(CountTransfers(mouse, true), 249u + 1u + 1u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 249 * kMs + 100 * kMs);
}

TEST_F(TransportTest, EveryWriteFailingReturnsTheLastStatusAfterClearingBusy) {
  mouse.InjectFailedWrites(250, kIOReturnNotResponding);
  buffer[0] = 0x5A;
  EXPECT_EQ(KorvidCommand(&mouse, false, 5, 1, std::span(buffer).first(80), sleeper), kIOReturnNotResponding);
  EXPECT_EQ(CountClearBusy(mouse), 1u);
  EXPECT_EQ(buffer[0], 0x5A);  // the report as built is copied back
  EXPECT_EQ(sleeper.TotalMicroseconds(), 250 * kMs);
}

// ---- reply poll -------------------------------------------------------------------------------

TEST_F(TransportTest, FailureStatusEndsThePollAtOnce) {
  mouse.InjectFailureStatus(3);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandFailed);
  const auto traffic = mouse.Traffic();
  ASSERT_EQ(traffic.size(), 4u);  // wait, block, one poll, clear-busy
  EXPECT_EQ(traffic[2].bytes[1], 3);
  EXPECT_EQ(CountClearBusy(mouse), 1u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 100 * kMs);
}

// A mouse that is free and answers every poll with one fixed reply.
class ReplyDevice : public UsbDeviceInterface {
 public:
  explicit ReplyDevice(Report reply) : reply_(reply) {}
  IOReturn DeviceRequest(IOUSBDevRequest& request) override {
    if (request.bmRequestType == 0x21) {
      ++writes;
      return kIOReturnSuccess;
    }
    if (reads++ == 0) {  // the busy wait: free
      std::fill(request.pData.begin(), request.pData.end(), 0);
    } else {
      std::copy(reply_.begin(), reply_.end(), request.pData.begin());
    }
    return kIOReturnSuccess;
  }
  std::uint16_t GetDeviceVendor() const override { return 0; }
  std::uint16_t GetDeviceProduct() const override { return 0; }
  std::uint16_t GetDeviceReleaseNumber() const override { return 0; }
  std::uint32_t GetDeviceBusPowerAvailable() const override { return 0; }
  std::uint32_t GetLocationID() const override { return 0; }
  int writes = 0;
  int reads = 0;

 private:
  Report reply_;
};

TEST(TransportCopyBackTest, FailedReplyIsCopiedBackAtTheBlocksPlace) {
  Report reply{};
  reply[1] = 3;
  reply[4] = 3;
  reply[8] = 0xAA;
  reply[9] = 0xBB;
  reply[10] = 0xCC;
  ReplyDevice device(reply);
  VirtualSleeper sleeper;
  std::array<std::uint8_t, 160> area{};
  area.fill(0x11);
  EXPECT_EQ(KorvidCommand(&device, false, 0x40, 81, area, sleeper), kCommandFailed);
  // Block 1 went first, failed, and its reply landed at offset 80; block 0 never went.
  EXPECT_EQ(area[80], 0xAA);
  EXPECT_EQ(area[82], 0xCC);
  EXPECT_EQ(area[83], 0x11);
  EXPECT_EQ(area[0], 0x11);
  EXPECT_EQ(device.writes, 2);  // the block and one clear-busy
  EXPECT_EQ(device.reads, 2);   // the busy wait and one poll
}

TEST(TransportCopyBackTest, PollThatNeverEndsCopiesTheLastReply) {
  Report reply{};
  reply[1] = 1;
  reply[4] = 2;
  reply[8] = 0x42;
  reply[9] = 0x43;
  ReplyDevice device(reply);
  VirtualSleeper sleeper;
  std::array<std::uint8_t, 80> area{};
  EXPECT_EQ(KorvidCommand(&device, true, 5, 0, area, sleeper), kCommandFailed);
  EXPECT_EQ(area[0], 0x42);
  EXPECT_EQ(area[1], 0x43);
  EXPECT_EQ(device.reads, 1 + 250);
}

TEST_F(TransportTest, HighFailureStatusIsAFailureToo) {
  mouse.InjectFailureStatus(255);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandFailed);
}

TEST_F(TransportTest, MouseWorkingThroughTheWholePollFails) {
  mouse.InjectWorkingPolls(250);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandFailed);
  EXPECT_EQ(CountTransfers(mouse, false), 1u + 250u);
  EXPECT_EQ(CountClearBusy(mouse), 1u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 100 * kMs + 250 * kMs);
}

TEST_F(TransportTest, MouseDoneOnTheLastPollSucceeds) {
  mouse.SetWorkingPolls(249, 0);
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), noErr);
  const auto settings = mouse.Settings();
  EXPECT_TRUE(std::equal(settings.begin(), settings.end(), buffer.begin()));
  EXPECT_EQ(sleeper.TotalMicroseconds(), 100 * kMs + 249 * kMs);
}

TEST_F(TransportTest, OversizeReplyLengthCopiesOnly80Bytes) {
  buffer.fill(0xEE);
  mouse.InjectReplyDataLength(200);
  ASSERT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(160), sleeper), noErr);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 80, mouse.Settings().begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 80, buffer.begin() + 160, [](auto b) { return b == 0xEE; }));
}

// ---- missing device ---------------------------------------------------------------------------

TEST(TransportNoDeviceTest, NullDeviceOrRequestIsNoDevice) {
  SimulatedTessel mouse;
  IOUSBDevRequest request;
  request.wLenDone = 7;
  EXPECT_EQ(KorvidDeviceRequest(nullptr, &request), kIOReturnNoDevice);
  EXPECT_EQ(request.wLenDone, 7u);  // nothing done
  EXPECT_EQ(KorvidDeviceRequest(&mouse, nullptr), kIOReturnNoDevice);
  EXPECT_EQ(mouse.RequestCount(), 0u);
}

TEST(TransportNoDeviceTest, ClearBusyOnNullDeviceTriesTenTimes) {
  VirtualSleeper sleeper;
  EXPECT_EQ(KorvidClearBusyFlag(nullptr, sleeper), kIOReturnNoDevice);
  EXPECT_EQ(sleeper.Calls(), 10u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 10 * kMs);
}

TEST(TransportNoDeviceTest, CommandOnNullDeviceSpendsTheBusyWait) {
  VirtualSleeper sleeper;
  std::array<std::uint8_t, 80> area{};
  EXPECT_EQ(KorvidCommand(nullptr, true, 5, 0, area, sleeper), kCommandBusyTimeout);
  EXPECT_EQ(sleeper.Calls(), 250u);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 250 * kMs);
}

TEST_F(TransportTest, MouseUnpluggedDuringThePollFails) {
  mouse.UnplugAfter(2);  // the busy-wait read and the block get through
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandFailed);
  // 250 failed polls and 10 failed clear-busy attempts, each followed by 1 ms.
  EXPECT_EQ(sleeper.TotalMicroseconds(), 100 * kMs + 250 * kMs + 10 * kMs);
  const auto traffic = mouse.Traffic();
  EXPECT_TRUE(std::all_of(traffic.begin() + 2, traffic.end(),
                          [](const auto& t) { return t.result == kIOReturnNoDevice; }));
  sleeper.Reset();
  EXPECT_EQ(KorvidCommand(&mouse, true, 5, 0, std::span(buffer).first(80), sleeper), kCommandBusyTimeout);
}

TEST_F(TransportTest, ClearBusyRetriesFailedWrites) {
  mouse.InjectFailedWrites(9, kIOReturnNotResponding);
  EXPECT_EQ(KorvidClearBusyFlag(&mouse, sleeper), noErr);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 9 * kMs);
  mouse.InjectFailedWrites(10, kIOReturnNotResponding);
  EXPECT_EQ(KorvidClearBusyFlag(&mouse, sleeper), kIOReturnNotResponding);
}

}  // namespace
}  // namespace korvid
