// SPDX-License-Identifier: MIT
// The event port between real processes on a private bus started by the test.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <chrono>
#include <memory>
#include <string>

#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"

namespace korvid {
namespace {

using testing::ChildProcess;
using testing::PrivateBus;

AppleEvent ControlEvent(std::uint32_t pid, std::uint32_t command, std::int32_t value) {
  AppleEvent event;
  EXPECT_EQ(AECreateAppleEvent(kKvdO, kKvdC, AddressOf({0, pid}), kAutoGenerateReturnID,
                               kAnyTransactionID, event),
            noErr);
  EXPECT_EQ(AEPutParamValue(event, keyDirectObject, typeMagnitude, command), noErr);
  EXPECT_EQ(AEPutParamValue(event, kKvdC, typeSInt32, value), noErr);
  return event;
}

class DBusEventPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.Running()) << bus_.Error();
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

  // Starts the stand-in receiver and waits until its port is exported.
  std::unique_ptr<ChildProcess> StartReceiver(const std::string& mode) {
    auto child = std::make_unique<ChildProcess>();
    EXPECT_TRUE(child->Start(KORVID_EVENT_RECEIVER, {mode},
                             {"DBUS_SESSION_BUS_ADDRESS=" + bus_.Address()}));
    std::string line;
    EXPECT_TRUE(child->ReadLine(line));
    EXPECT_EQ(line, "ready " + std::to_string(child->Pid()));
    return child;
  }

  // Calls the receiver's Dispatch method directly with arbitrary arguments.
  QDBusMessage RawCall(pid_t pid, const QList<QVariant>& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(pid)), QLatin1String(kEventPortPath),
        QLatin1String(kEventPortInterface), QLatin1String(kEventPortMethod));
    call.setArguments(arguments);
    return connection_->call(call, QDBus::Block, testing::kGenerousWaitMs);
  }

  static inline const QString kConnectionName = QStringLiteral("korvid-test");
  PrivateBus bus_;
  std::unique_ptr<QDBusConnection> connection_;
  std::unique_ptr<QtDBusEventPort> port_;
};

// --- replies and timeouts --------------------------------------------------------------

TEST_F(DBusEventPort, ReplyWithinFifteenTicks) {
  auto receiver = StartReceiver("reply");
  AppleEvent reply;
  ASSERT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvSA, 65536), reply, kAEWaitReply, 15),
            noErr);
  std::int32_t value = 0;
  ASSERT_EQ(AEGetParamValue(reply, keyDirectObject, typeSInt32, value), noErr);
  EXPECT_EQ(value, receiver->Pid());
  std::string line;
  ASSERT_TRUE(receiver->ReadLine(line));
  EXPECT_EQ(line, "event KvSA 65536");
}

TEST_F(DBusEventPort, ReplyPastFifteenTicksTimesOut) {
  auto receiver = StartReceiver("hang");
  AppleEvent reply;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvSA, 1), reply, kAEWaitReply, 15),
            errAETimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(reply.IsNull());
  // Blocked for its timeout, not for the receiver.
  EXPECT_LT(waited, std::chrono::seconds(5));
  std::string line;
  ASSERT_TRUE(receiver->ReadLine(line));
  EXPECT_EQ(line, "event KvSA 1");
  receiver->WriteLine("release");
}

TEST_F(DBusEventPort, NoReplySendsNeverWaitForAHungReceiver) {
  auto receiver = StartReceiver("hang");
  for (int value = 1; value <= 3; ++value) {
    AppleEvent reply;
    EXPECT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvSA, value), reply, kAENoReply, 15),
              noErr);
    EXPECT_TRUE(reply.IsNull());
  }
  // The receiver is stuck in the first event while all three have been sent; each one
  // arrives, in order, as it lets go.
  std::string line;
  for (int value = 1; value <= 3; ++value) {
    ASSERT_TRUE(receiver->ReadLine(line));
    EXPECT_EQ(line, "event KvSA " + std::to_string(value));
    receiver->WriteLine("release");
  }
}

// Calls that reach a receiver before its main loop first runs wait for it, and are then
// handled in the order they were sent.
TEST_F(DBusEventPort, CallsBeforeTheReceiversMainLoopKeepTheirOrder) {
  constexpr int kCalls = 20;
  auto receiver = StartReceiver("late");
  for (int value = 1; value <= kCalls; ++value) {
    AppleEvent reply;
    ASSERT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvSA, value), reply, kAENoReply, 15), noErr);
  }
  receiver->WriteLine("start");
  std::string line;
  for (int value = 1; value <= kCalls; ++value) {
    ASSERT_TRUE(receiver->ReadLine(line));
    EXPECT_EQ(line, "event KvSA " + std::to_string(value));
  }
}

TEST_F(DBusEventPort, AnEventWhoseSenderHasLeftTheBusIsNotHandled) {
  auto receiver = StartReceiver("late");
  const QString leaving = QStringLiteral("korvid-test-leaving");
  QString name;
  {
    QDBusConnection connection = QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), leaving);
    ASSERT_TRUE(connection.isConnected());
    name = connection.baseService();
    QtDBusEventPort sender(connection);
    AppleEvent reply;
    ASSERT_EQ(sender.SendMessage(ControlEvent(receiver->Pid(), kKvSA, 1), reply, kAENoReply, 15), noErr);
    // A round trip to the bus after it: the event has been passed on by then.
    ASSERT_TRUE(connection.interface()->isServiceRegistered(name).value());
  }
  QDBusConnection::disconnectFromBus(leaving);
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i) gone = !connection_->interface()->isServiceRegistered(name).value();
  ASSERT_TRUE(gone);
  receiver->WriteLine("start");
  AppleEvent reply;
  ASSERT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvSA, 5), reply, kAEWaitReply, 60), noErr);
  std::string line;
  ASSERT_TRUE(receiver->ReadLine(line));
  EXPECT_EQ(line, "event KvSA 5");  // the first event never reached the handler
}

TEST_F(DBusEventPort, HandlerFailureReachesTheSenderAsErrorNumber) {
  auto receiver = StartReceiver("fail");
  AppleEvent reply;
  ASSERT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvID, 0), reply, kAEWaitReply, 60), noErr);
  std::int32_t value = 0;
  EXPECT_EQ(AEGetParamValue(reply, keyDirectObject, typeSInt32, value), errAEDescNotFound);
  ASSERT_EQ(AEGetParamValue(reply, keyErrorNumber, typeSInt32, value), noErr);
  EXPECT_EQ(value, 706);
}

TEST_F(DBusEventPort, QuitEndsTheReceiversMainLoop) {
  auto receiver = StartReceiver("reply");
  AppleEvent quit;
  ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication,
                               AddressOf({0, static_cast<std::uint32_t>(receiver->Pid())}),
                               kAutoGenerateReturnID, kAnyTransactionID, quit),
            noErr);
  AppleEvent reply;
  ASSERT_EQ(port_->SendMessage(quit, reply, kAENoReply, kAEDefaultTimeout), noErr);
  std::string line;
  ASSERT_TRUE(receiver->WaitForLine("quit", line));
  const int status = receiver->WaitExit();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- addressing ------------------------------------------------------------------------

TEST_F(DBusEventPort, ProcessThatIsGoneIsProcNotFound) {
  auto receiver = StartReceiver("reply");
  const pid_t pid = receiver->Pid();
  receiver->WriteLine("exit");
  receiver->WaitExit();
  AppleEvent reply;
  EXPECT_EQ(port_->SendMessage(ControlEvent(pid, kKvSA, 0), reply, kAENoReply, 15), procNotFound);
}

TEST_F(DBusEventPort, ProcessWithoutPortIsConnectionInvalid) {
  AppleEvent reply;
  EXPECT_EQ(port_->SendMessage(ControlEvent(getppid(), kKvSA, 0), reply, kAEWaitReply, 15),
            connectionInvalid);
}

TEST_F(DBusEventPort, NameHeldByAnotherProcessIsNotTrusted) {
  // This process takes the port name of its parent: a send to the parent must not land
  // here.
  const std::uint32_t parent = static_cast<std::uint32_t>(getppid());
  ASSERT_TRUE(connection_->registerService(QtDBusEventPort::BusNameFor(parent)));
  AppleEvent reply;
  EXPECT_EQ(port_->SendMessage(ControlEvent(parent, kKvSA, 0), reply, kAEWaitReply, 15),
            connectionInvalid);
}

TEST_F(DBusEventPort, EventsToOurselvesNeedAnExportedPort) {
  AppleEvent reply;
  EXPECT_EQ(port_->SendMessage(ControlEvent(kCurrentProcess, kKvSA, 0), reply, kAEWaitReply, 15),
            connectionInvalid);
  ASSERT_EQ(port_->Export(), noErr);
  std::int32_t seen = 0;
  port_->InstallEventHandler(kKvdO, kKvdC, [&](const AppleEvent& event, AppleEvent&) -> OSErr {
    return static_cast<OSErr>(AEGetParamValue(event, kKvdC, typeSInt32, seen));
  });
  ASSERT_EQ(port_->SendMessage(ControlEvent(kCurrentProcess, kKvSA, 99), reply, kAEWaitReply, 15),
            noErr);
  EXPECT_EQ(seen, 99);
}

TEST_F(DBusEventPort, TwoPortsCannotShareAProcessName) {
  ASSERT_EQ(port_->Export(), noErr);
  const QString second = QStringLiteral("korvid-test-second");
  {
    QDBusConnection other =
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), second);
    QtDBusEventPort another(other);
    EXPECT_EQ(another.Export(), connectionInvalid);
  }
  QDBusConnection::disconnectFromBus(second);
}

// --- bad input -------------------------------------------------------------------------

TEST_F(DBusEventPort, MalformedCallsAreAnsweredWithCorruptData) {
  auto receiver = StartReceiver("reply");
  const auto statusOf = [](const QDBusMessage& answer) {
    EXPECT_EQ(answer.type(), QDBusMessage::ReplyMessage) << answer.errorMessage().toStdString();
    EXPECT_EQ(answer.signature(), QStringLiteral("iay"));
    return answer.arguments().value(0).toInt();
  };
  EXPECT_EQ(statusOf(RawCall(receiver->Pid(), {QStringLiteral("not bytes")})), errAECorruptData);
  EXPECT_EQ(statusOf(RawCall(receiver->Pid(), {})), errAECorruptData);
  EXPECT_EQ(statusOf(RawCall(receiver->Pid(), {QByteArray(10, 'x'), QByteArray()})), errAECorruptData);

  const std::vector<std::uint8_t> good = EncodeAppleEvent(ControlEvent(receiver->Pid(), kKvSA, 1));
  const QByteArray truncated(reinterpret_cast<const char*>(good.data()),
                             static_cast<qsizetype>(good.size() - 1));
  EXPECT_EQ(statusOf(RawCall(receiver->Pid(), {truncated})), errAECorruptData);
  EXPECT_EQ(statusOf(RawCall(receiver->Pid(), {QByteArray(kAEMaxEncodedBytes + 1, '\0')})),
            errAECorruptData);

  // None of it reached the handler; a good event still does.
  AppleEvent reply;
  ASSERT_EQ(port_->SendMessage(ControlEvent(receiver->Pid(), kKvSA, 5), reply, kAEWaitReply, 60), noErr);
  std::string line;
  ASSERT_TRUE(receiver->ReadLine(line));
  EXPECT_EQ(line, "event KvSA 5");
}

TEST_F(DBusEventPort, MissingOrMistypedParametersReachTheSenderAsStatuses) {
  auto receiver = StartReceiver("reply");
  const auto pid = static_cast<std::uint32_t>(receiver->Pid());
  AppleEvent missing;
  ASSERT_EQ(AECreateAppleEvent(kKvdO, kKvdC, AddressOf({0, pid}), kAutoGenerateReturnID,
                               kAnyTransactionID, missing),
            noErr);
  ASSERT_EQ(AEPutParamValue(missing, keyDirectObject, typeMagnitude, kKvSA), noErr);
  AppleEvent reply;
  ASSERT_EQ(port_->SendMessage(missing, reply, kAEWaitReply, 60), noErr);
  std::int32_t error = 0;
  ASSERT_EQ(AEGetParamValue(reply, keyErrorNumber, typeSInt32, error), noErr);
  EXPECT_EQ(error, errAEDescNotFound);

  AppleEvent mistyped = ControlEvent(pid, kKvSA, 1);
  ASSERT_EQ(AEPutParamValue(mistyped, keyDirectObject, typeIEEE64BitFloatingPoint, 1.0), noErr);
  ASSERT_EQ(port_->SendMessage(mistyped, reply, kAEWaitReply, 60), noErr);
  ASSERT_EQ(AEGetParamValue(reply, keyErrorNumber, typeSInt32, error), noErr);
  EXPECT_EQ(error, errAECoercionFail);
}

TEST(DBusEventPortUsers, EventFromAnotherUserIsRefused) {
  // Only root can speak as another user; a session bus would not even let that user in,
  // so this bus admits everyone and the port's own check must refuse the call.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  PrivateBus open(/*admitOtherUsers=*/true);
  ASSERT_TRUE(open.Running()) << open.Error();
  ChildProcess receiver;
  ASSERT_TRUE(receiver.Start(KORVID_EVENT_RECEIVER, {"reply"}, {"DBUS_SESSION_BUS_ADDRESS=" + open.Address()}));
  std::string line;
  ASSERT_TRUE(receiver.ReadLine(line));

  ChildProcess stranger;
  ASSERT_TRUE(stranger.Start(
      "/usr/bin/setpriv",
      {"--reuid=65534", "--regid=65534", "--clear-groups", "dbus-send",
       "--bus=" + open.Address(), "--print-reply",
       "--dest=" + QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(receiver.Pid())).toStdString(),
       kEventPortPath, std::string(kEventPortInterface) + "." + kEventPortMethod, "array:byte:1,2,3"},
      {}));
  bool answered = false;
  while (stranger.ReadLine(line)) {
    if (line.find("int32") != std::string::npos) {
      EXPECT_NE(line.find(std::to_string(errAEEventNotPermitted)), std::string::npos) << line;
      answered = true;
    }
  }
  EXPECT_TRUE(answered);
  // The handler never ran.
  receiver.WriteLine("exit");
  ASSERT_TRUE(receiver.ReadLine(line));
  EXPECT_EQ(line, "quit");
}

TEST_F(DBusEventPort, MalformedRepliesAreRefused) {
  auto garbage = StartReceiver("garbage-reply");
  AppleEvent reply;
  EXPECT_EQ(port_->SendMessage(ControlEvent(garbage->Pid(), kKvSA, 1), reply, kAEWaitReply, 60),
            errAECorruptData);
  EXPECT_TRUE(reply.IsNull());

  auto wrong = StartReceiver("wrong-reply");
  EXPECT_EQ(port_->SendMessage(ControlEvent(wrong->Pid(), kKvSA, 1), reply, kAEWaitReply, 60),
            errAEReplyNotValid);
  EXPECT_TRUE(reply.IsNull());
}

}  // namespace
}  // namespace korvid

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
