// SPDX-License-Identifier: MIT
#include "pane/messages/ControlMessages.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/events/testing/FakeEventPort.h"
#include "platform/process/testing/FakeProcessTable.h"

namespace korvid {
namespace {

const Str255 kHelper = MakeStr255("KorvidTesselHelper");

// --- FindNamedProcess ------------------------------------------------------------------

class FindNamedProcessTest : public ::testing::Test {
 protected:
  FakeProcessTable table_{100};
};

TEST_F(FindNamedProcessTest, FirstProcessInPidOrderWins) {
  table_.Add(900, "KorvidTesselHelper");
  table_.Add(300, "Finder");
  table_.Add(500, "KorvidTesselHelper");
  ProcessSerialNumber psn{};
  ASSERT_EQ(FindNamedProcess(table_, kHelper, &psn), noErr);
  EXPECT_EQ(psn, (ProcessSerialNumber{0, 500}));
}

TEST_F(FindNamedProcessTest, LowerCaseFindsAndCutNameDoesNot) {
  table_.Add(500, "KorvidTesselHelper");
  ProcessSerialNumber psn{};
  EXPECT_EQ(FindNamedProcess(table_, MakeStr255("korvidtesselhelper"), &psn), noErr);
  EXPECT_EQ(FindNamedProcess(table_, MakeStr255("KorvidTesselHelpe"), &psn), procNotFound);
  EXPECT_EQ(FindNamedProcess(table_, MakeStr255("KorvidTesselHelpers"), &psn), procNotFound);
}

TEST_F(FindNamedProcessTest, NullSerialNumberOnlyAnswersWhetherItRuns) {
  table_.Add(500, "KorvidTesselHelper");
  EXPECT_EQ(FindNamedProcess(table_, kHelper, nullptr), noErr);
  table_.Clear();
  EXPECT_EQ(FindNamedProcess(table_, kHelper, nullptr), procNotFound);
}

TEST_F(FindNamedProcessTest, CallersOwnProcessCounts) {
  table_.Add(100, "korvid-tessel-settings");
  ProcessSerialNumber psn{};
  ASSERT_EQ(FindNamedProcess(table_, MakeStr255("korvid-tessel-settings"), &psn), noErr);
  EXPECT_EQ(psn, table_.CurrentProcess());
}

TEST_F(FindNamedProcessTest, NameReadFailureEndsTheSearchWithItsStatusWidened) {
  table_.Add(200, "other");
  table_.Add(500, "KorvidTesselHelper");
  table_.FailNameOf(200, kIOReturnBadArgument);
  ProcessSerialNumber psn{0, 77};
  EXPECT_EQ(FindNamedProcess(table_, kHelper, &psn), 706);  // 0xE00002C2 cut to 16 bits
  EXPECT_EQ(psn, (ProcessSerialNumber{0, 77}));
}

TEST_F(FindNamedProcessTest, FullLengthNamesCompareWhole) {
  const std::string longName(255, 'K');
  table_.Add(500, longName.substr(0, 254) + "x");
  table_.Add(600, longName);
  ProcessSerialNumber psn{};
  ASSERT_EQ(FindNamedProcess(table_, MakeStr255(std::string(255, 'k')), &psn), noErr);
  EXPECT_EQ(psn.lowLongOfPSN, 600u);
}

// --- SendControlToKext -----------------------------------------------------------------

class SendControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_.Add(100, "korvid-tessel-settings");
    table_.Add(500, "KorvidTesselHelper");
    helper_.InstallEventHandler(kKvdO, kKvdC, [this](const AppleEvent& event, AppleEvent& reply) -> OSErr {
      std::uint32_t command = 0;
      std::int32_t value = 0;
      if (OSStatus status = AEGetParamValue(event, keyDirectObject, typeMagnitude, command)) {
        return static_cast<OSErr>(status);
      }
      if (OSStatus status = AEGetParamValue(event, kKvdC, typeSInt32, value)) {
        return static_cast<OSErr>(status);
      }
      commands_.push_back(command);
      values_.push_back(value);
      if (failWith_ != noErr) return failWith_;
      return static_cast<OSErr>(AEPutParamValue(reply, keyDirectObject, typeSInt32, answer_));
    });
  }

  FakeProcessTable table_{100};
  FakeEventBus bus_;
  FakeEventPort pane_{bus_, 100};
  FakeEventPort helper_{bus_, 500};
  std::vector<std::uint32_t> commands_;
  std::vector<std::int32_t> values_;
  OSErr failWith_ = noErr;
  std::int32_t answer_ = 0;
};

TEST_F(SendControlTest, MessageFormat) {
  ASSERT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 65536, nullptr), noErr);
  ASSERT_EQ(bus_.Sent().size(), 1u);
  const FakeEventBus::Record& sent = bus_.Sent()[0];
  EXPECT_EQ(sent.to, 500u);
  EXPECT_EQ(sent.event.eventClass, kKvdO);
  EXPECT_EQ(sent.event.eventID, kKvdC);
  EXPECT_NE(sent.event.returnID, kAutoGenerateReturnID);
  EXPECT_EQ(sent.event.transactionID, kAnyTransactionID);
  ASSERT_EQ(sent.event.params.size(), 2u);
  EXPECT_EQ(sent.event.params[0].keyword, keyDirectObject);
  EXPECT_EQ(sent.event.params[0].type, typeMagnitude);
  EXPECT_EQ(sent.event.params[0].data.size(), 4u);
  EXPECT_EQ(sent.event.params[1].keyword, kKvdC);
  EXPECT_EQ(sent.event.params[1].type, typeSInt32);
  EXPECT_EQ(sent.event.params[1].data.size(), 4u);
  ProcessSerialNumber target;
  ASSERT_EQ(TargetProcess(sent.event, target), noErr);
  EXPECT_EQ(target, (ProcessSerialNumber{0, 500}));
}

TEST_F(SendControlTest, WithoutResultSendsWithoutReplyAndNeverWaits) {
  helper_.SetHung(true);
  ASSERT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 131072, nullptr), noErr);
  EXPECT_EQ(bus_.Sent()[0].mode, kAENoReply);
  EXPECT_TRUE(commands_.empty());
  helper_.SetHung(false);
  bus_.DeliverPending();
  EXPECT_EQ(commands_, std::vector<std::uint32_t>{kKvSA});
  EXPECT_EQ(values_, std::vector<std::int32_t>{131072});
}

TEST_F(SendControlTest, WithResultWaitsFifteenTicksForTheValue) {
  answer_ = 0x1234;
  std::int32_t result = -1;
  ASSERT_EQ(SendControlToKext(table_, pane_, kHelper, kKvID, 0, &result), noErr);
  EXPECT_EQ(result, 0x1234);
  EXPECT_EQ(bus_.Sent()[0].mode, kAEWaitReply);
  EXPECT_EQ(bus_.Sent()[0].timeoutTicks, 15);
}

TEST_F(SendControlTest, NoMouseAttachedAnswersZero) {
  answer_ = 0;
  std::int32_t result = -1;
  ASSERT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 65536, &result), noErr);
  EXPECT_EQ(result, 0);
}

TEST_F(SendControlTest, HelperNotRunningSendsNothing) {
  table_.Remove(500);
  std::int32_t result = 5;
  EXPECT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 0, &result), procNotFound);
  EXPECT_TRUE(bus_.Sent().empty());
  EXPECT_EQ(result, 5);
}

TEST_F(SendControlTest, HandlerFailureLeavesResultAndFailsTheRead) {
  failWith_ = 706;
  std::int32_t result = 5;
  EXPECT_EQ(SendControlToKext(table_, pane_, kHelper, FourCC("Kv??"), 0, &result), errAEDescNotFound);
  EXPECT_EQ(result, 5);
}

TEST_F(SendControlTest, TimeoutLeavesResult) {
  helper_.SetHung(true);
  std::int32_t result = 5;
  EXPECT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 0, &result), errAETimeout);
  EXPECT_EQ(result, 5);
}

TEST_F(SendControlTest, ProcessWithoutPortIsConnectionInvalid) {
  table_.Add(400, "KorvidTesselHelper");
  bus_.AddProcessWithoutPort(400);
  EXPECT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 0, nullptr), connectionInvalid);
}

TEST_F(SendControlTest, ReplyOfTheWrongTypeIsRefused) {
  helper_.InstallEventHandler(kKvdO, kKvdC, [](const AppleEvent&, AppleEvent& reply) -> OSErr {
    return static_cast<OSErr>(AEPutParamValue(reply, keyDirectObject, typeIEEE64BitFloatingPoint, 2.0));
  });
  std::int32_t result = 5;
  EXPECT_EQ(SendControlToKext(table_, pane_, kHelper, kKvSA, 0, &result), errAECoercionFail);
  EXPECT_EQ(result, 5);
}

// A port whose send fails with a 32-bit status, to see the 16-bit widening.
class FailingPort final : public EventPort {
 public:
  explicit FailingPort(OSStatus status) : status_(status) {}
  OSStatus InstallEventHandler(AEEventClass, AEEventID, AEEventHandler) override { return noErr; }
  OSStatus RemoveEventHandler(AEEventClass, AEEventID) override { return noErr; }
  OSStatus SendMessage(const AppleEvent&, AppleEvent&, AESendMode, std::int32_t) override {
    return status_;
  }

 private:
  OSStatus status_;
};

TEST_F(SendControlTest, StatusIsWidenedFromSixteenBits) {
  FailingPort port(kIOReturnBadArgument);
  EXPECT_EQ(SendControlToKext(table_, port, kHelper, kKvSA, 0, nullptr), 706);
  FailingPort timeout(errAETimeout);
  EXPECT_EQ(SendControlToKext(table_, timeout, kHelper, kKvSA, 0, nullptr), errAETimeout);
  FailingPort carry(0x00010000);  // nothing left in the low 16 bits
  EXPECT_EQ(SendControlToKext(table_, carry, kHelper, kKvSA, 0, nullptr), noErr);
}

}  // namespace
}  // namespace korvid
