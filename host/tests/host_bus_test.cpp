// SPDX-License-Identifier: MIT
// The settings application as a process on a private session bus: it exports its event
// port, quits when asked with the standard quit event or ended by SIGTERM, and unselects
// its pane on the way out (the settings domain is written); a second start raises the
// first window instead of opening another.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <csignal>
#include <sys/wait.h>

#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/events/AppleEvent.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"

namespace korvid {
namespace {

using korvid::testing::ChildProcess;
using korvid::testing::PrivateBus;
using korvid::testing::TempFolder;

// The settings program on a private bus, with its user's folders in a temporary home.
class SettingsHostOnTheBus : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApplication();
    ASSERT_TRUE(bus.Running()) << bus.Error();
    connection = QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), QStringLiteral("host-test"));
    ASSERT_TRUE(connection.isConnected());
  }

  bool Start(ChildProcess& host) {
    // Under the sanitizers the child is not leak-checked: QtDBus's connection thread may
    // still hold a message when the process ends. The pane's code is leak-checked in
    // process by the pane's tests.
    std::string asanOptions = "ASAN_OPTIONS=";
    if (const char* options = std::getenv("ASAN_OPTIONS")) asanOptions += std::string(options) + ":";
    asanOptions += "detect_leaks=0";
    return host.Start(KORVID_SETTINGS_PROGRAM,
                      {"--simulated", "--no-device-waits", "--no-helper", "--simulated-state", home.Path() + "/mouse.state"},
                      {"DBUS_SESSION_BUS_ADDRESS=" + bus.Address(), "QT_QPA_PLATFORM=offscreen", "HOME=" + home.Path(),
                       "XDG_CONFIG_HOME=" + home.Path() + "/config", "XDG_STATE_HOME=" + home.Path() + "/state",
                       asanOptions});
  }

  // Waits for the host's port to appear on the bus.
  bool WaitForPort(const ChildProcess& host) {
    const QString name = QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(host.Pid()));
    if (!connection.interface()->isServiceRegistered(name).value()) {
      QDBusServiceWatcher watcher(name, connection, QDBusServiceWatcher::WatchForRegistration);
      QEventLoop loop;
      QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
      QTimer::singleShot(korvid::testing::kGenerousWaitMs, &loop, &QEventLoop::quit);
      if (!connection.interface()->isServiceRegistered(name).value()) loop.exec();
    }
    return connection.interface()->isServiceRegistered(name).value();
  }

  void ExpectCleanExitWithTheSettingsStored(ChildProcess& host) {
    const int status = host.WaitExit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::exists(home.Path() + "/config/korvid/" + std::string(kSettingsDomain) + ".plist"));
  }

  PrivateBus bus;
  TempFolder home;
  QDBusConnection connection{QStringLiteral("unset")};
};

TEST_F(SettingsHostOnTheBus, QuitsWhenAskedAndStoresTheSettingsOnTheWayOut) {
  ChildProcess host;
  ASSERT_TRUE(Start(host));
  ASSERT_TRUE(WaitForPort(host));

  QtDBusEventPort port(connection);
  AppleEvent quit;
  ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication,
                               AddressOf({0, static_cast<std::uint32_t>(host.Pid())}), kAutoGenerateReturnID,
                               kAnyTransactionID, quit),
            noErr);
  AppleEvent reply;
  EXPECT_EQ(port.SendMessage(quit, reply, kAEWaitReply, 20 * 60), noErr);
  ExpectCleanExitWithTheSettingsStored(host);
}

TEST_F(SettingsHostOnTheBus, ASecondStartRaisesTheFirstWindowAndTheSessionsEndStoresTheSettings) {
  ChildProcess first;
  ASSERT_TRUE(Start(first));
  ASSERT_TRUE(WaitForPort(first));

  // The second start hands over to the first window and ends at once.
  ChildProcess second;
  ASSERT_TRUE(Start(second));
  const int status = second.WaitExit();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(::kill(first.Pid(), 0), 0);  // the first still runs

  // A logout ends the window with SIGTERM: it unselects and stores as a normal quit does.
  ASSERT_EQ(::kill(first.Pid(), SIGTERM), 0);
  ExpectCleanExitWithTheSettingsStored(first);
}

}  // namespace
}  // namespace korvid
