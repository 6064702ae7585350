// SPDX-License-Identifier: MIT
// The control message between real processes: receivers named like the helper, on a
// private bus started by the test, found through /proc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>

#include <algorithm>
#include <memory>
#include <set>
#include <string>

#include "pane/messages/ControlMessages.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/process/LinuxProcessTable.h"

namespace korvid {
namespace {

using testing::ChildProcess;

// The real /proc walk, narrowed to the processes this test started, so that processes
// elsewhere on the machine that happen to share a name cannot interfere.
class ChildrenOnly final : public ProcessTable {
 public:
  void Allow(pid_t pid) { allowed_.insert(static_cast<std::uint32_t>(pid)); }

  OSStatus GetNextProcess(ProcessSerialNumber& psn) override {
    for (;;) {
      const OSStatus status = real_.GetNextProcess(psn);
      if (status != noErr || allowed_.count(psn.lowLongOfPSN)) return status;
    }
  }
  OSStatus GetProcessName(const ProcessSerialNumber& psn, ProcessName& name) override {
    return real_.GetProcessName(psn, name);
  }
  OSStatus SameProcess(const ProcessSerialNumber& a, const ProcessSerialNumber& b, bool& same) override {
    return real_.SameProcess(a, b, same);
  }
  ProcessSerialNumber CurrentProcess() const override { return real_.CurrentProcess(); }

 private:
  LinuxProcessTable real_;
  std::set<std::uint32_t> allowed_;
};

const Str255 kHelper = MakeStr255("KorvidTesselHelper");

class ControlMessageBus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.Running()) << bus_.Error();
    ASSERT_FALSE(folder_.Path().empty());
    ASSERT_TRUE(testing::CopyExecutable(KORVID_EVENT_RECEIVER, folder_.Path(), "KorvidTesselHelper"));
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), kConnectionName));
    ASSERT_TRUE(connection_->isConnected());
    port_ = std::make_unique<QtDBusEventPort>(*connection_);
  }
  void TearDown() override {
    port_.reset();
    connection_.reset();
    QDBusConnection::disconnectFromBus(kConnectionName);
  }

  std::unique_ptr<ChildProcess> StartHelper(const std::string& mode) {
    auto child = std::make_unique<ChildProcess>();
    EXPECT_TRUE(child->Start(folder_.Path() + "/KorvidTesselHelper", {mode},
                             {"DBUS_SESSION_BUS_ADDRESS=" + bus_.Address()}));
    std::string line;
    EXPECT_TRUE(child->ReadLine(line));
    EXPECT_EQ(line, "ready " + std::to_string(child->Pid()));
    table_.Allow(child->Pid());
    return child;
  }

  static inline const QString kConnectionName = QStringLiteral("korvid-pane-test");
  testing::PrivateBus bus_;
  testing::TempFolder folder_;
  ChildrenOnly table_;
  std::unique_ptr<QDBusConnection> connection_;
  std::unique_ptr<QtDBusEventPort> port_;
};

TEST_F(ControlMessageBus, HelperIsFoundInLowerCaseButNotWithItsLastLetterCut) {
  auto helper = StartHelper("reply");
  ProcessSerialNumber psn{};
  ASSERT_EQ(FindNamedProcess(table_, MakeStr255("korvidtesselhelper"), &psn), noErr);
  EXPECT_EQ(psn, (ProcessSerialNumber{0, static_cast<std::uint32_t>(helper->Pid())}));
  EXPECT_EQ(FindNamedProcess(table_, MakeStr255("KorvidTesselHelpe"), &psn), procNotFound);
}

TEST_F(ControlMessageBus, OfTwoNamesakesTheFirstInPidOrderIsAddressed) {
  auto one = StartHelper("reply");
  auto two = StartHelper("reply");
  ChildProcess& first = one->Pid() < two->Pid() ? *one : *two;
  ChildProcess& second = one->Pid() < two->Pid() ? *two : *one;

  std::int32_t result = 0;
  ASSERT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, 65536, &result), noErr);
  EXPECT_EQ(result, first.Pid());
  std::string line;
  ASSERT_TRUE(first.ReadLine(line));
  EXPECT_EQ(line, "event KvSA 65536");

  // The second one received nothing before it was told to leave.
  second.WriteLine("exit");
  ASSERT_TRUE(second.ReadLine(line));
  EXPECT_EQ(line, "quit");
}

TEST_F(ControlMessageBus, ReplyWithinFifteenTicks) {
  auto helper = StartHelper("reply");
  std::int32_t result = 0;
  ASSERT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, 131072, &result), noErr);
  EXPECT_EQ(result, helper->Pid());
}

TEST_F(ControlMessageBus, ReplyPastFifteenTicksIsTheTimeoutStatus) {
  auto helper = StartHelper("hang");
  std::int32_t result = 7;
  EXPECT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, 1, &result), errAETimeout);
  EXPECT_EQ(result, 7);
  std::string line;
  ASSERT_TRUE(helper->ReadLine(line));
  EXPECT_EQ(line, "event KvSA 1");
  helper->WriteLine("release");
}

TEST_F(ControlMessageBus, NoReplySendsToAHelperThatNeverAnswers) {
  auto helper = StartHelper("hang");
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, i, nullptr), noErr);
  }
  std::string line;
  ASSERT_TRUE(helper->ReadLine(line));
  EXPECT_EQ(line, "event KvSA 0");
}

TEST_F(ControlMessageBus, HelperFailureIsTheMissingReplyValue) {
  auto helper = StartHelper("fail");
  std::int32_t result = 7;
  EXPECT_EQ(SendControlToKext(table_, *port_, kHelper, kKvID, 0, &result), errAEDescNotFound);
  EXPECT_EQ(result, 7);
}

TEST_F(ControlMessageBus, HelperNotRunning) {
  EXPECT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, 0, nullptr), procNotFound);
}

TEST_F(ControlMessageBus, ProcessOfThatNameWithoutAPort) {
  auto stray = StartHelper("no-port");
  std::int32_t result = 7;
  EXPECT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, 0, &result), connectionInvalid);
  EXPECT_EQ(SendControlToKext(table_, *port_, kHelper, kKvSA, 0, nullptr), connectionInvalid);
  EXPECT_EQ(result, 7);
}

}  // namespace
}  // namespace korvid

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
