// SPDX-License-Identifier: MIT
// tesselctl as its own process on a private session bus, with the helper and the driver
// daemon (one simulated mouse) in a temporary runtime folder and a settings folder of
// its own: `set acceleration` lands in the settings domain and reaches the helper, which
// hands it to the driver. Every wait is for an event (a bus name, a file change, an
// exit) with a generous limit.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pane/messages/ControlMessages.h"
#include "platform/Identity.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"
#include "platform/files/PreferencesStore.h"
#include "platform/process/LinuxProcessTable.h"

namespace korvid {
namespace {

using testing::ChildProcess;
using testing::kGenerousWaitMs;
using testing::WaitForFolder;

std::string LastLine(const std::string& path) {
  std::ifstream in(path);
  std::string last;
  for (std::string line; std::getline(in, line);) last = line;
  return last;
}

class TesselctlOnTheBus : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApplication();
    ASSERT_TRUE(bus_.Running()) << bus_.Error();
    if (FindNamedProcess(processes_, MakeStr255(kHelperProcessName), nullptr) == noErr) {
      GTEST_SKIP() << "a KorvidTesselHelper of this user is already running";
    }
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), QStringLiteral("test")));
    ASSERT_TRUE(connection_->isConnected());
  }
  void TearDown() override {
    connection_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("test"));
  }

  std::vector<std::string> Environment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + bus_.Address(), "XDG_CONFIG_HOME=" + config_,
            "XDG_STATE_HOME=" + temp_.Path() + "/state", "DISPLAY="};
  }

  // Runs tesselctl to its end: its exit status, standard output and error as one text.
  int Tesselctl(const std::vector<std::string>& args, std::string& said) {
    ChildProcess tesselctl;
    std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" 2>&1", KORVID_TESSELCTL_BINARY};
    shell.insert(shell.end(), args.begin(), args.end());
    if (!tesselctl.Start("/bin/sh", shell, Environment())) return -1;
    said.clear();
    for (std::string line; tesselctl.ReadLine(line);) said += line + "\n";
    const int status = tesselctl.WaitExit();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Starts the helper and waits until it has taken its bus name, which it does last.
  bool StartHelper(ChildProcess& helper) {
    if (!helper.Start(KORVID_HELPER_BINARY, {"--runtime-dir", runtime_}, Environment())) return false;
    const QString name = QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(helper.Pid()));
    QDBusServiceWatcher watcher(name, *connection_, QDBusServiceWatcher::WatchForRegistration);
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
    QTimer::singleShot(kGenerousWaitMs, &loop, &QEventLoop::quit);
    if (!connection_->interface()->isServiceRegistered(name)) loop.exec();
    return connection_->interface()->isServiceRegistered(name);
  }

  std::optional<float> Stored(const char* key) const {
    PropertyList domain;
    if (PreferencesStore(config_ + "/korvid").PersistentDomain(kSettingsDomain, domain) != noErr) return std::nullopt;
    return domain.GetFloat(key);
  }

  testing::PrivateBus bus_;
  testing::TempFolder temp_;
  std::string runtime_ = temp_.Path() + "/run";
  std::string config_ = temp_.Path() + "/config";
  LinuxProcessTable processes_;
  std::unique_ptr<QDBusConnection> connection_;
};

TEST_F(TesselctlOnTheBus, SetAccelerationReachesTheHelperAndTheSettingsDomain) {
  // No helper yet: stored, and said.
  std::string said;
  EXPECT_EQ(Tesselctl({"set", "acceleration", "0.5"}, said), 0) << said;
  EXPECT_NE(said.find("Acceleration set to 0.5: stored\n"), std::string::npos) << said;
  EXPECT_NE(said.find("no acceleration helper (KorvidTesselHelper) runs"), std::string::npos) << said;
  EXPECT_EQ(Stored("acceleration"), 0.5f);

  // The driver daemon with one simulated mouse, and the helper, which starts from 0.5.
  ChildProcess daemon;
  ASSERT_TRUE(testing::StartService(daemon, KORVID_DRIVER_BINARY,
                                    {"--runtime-dir", runtime_, "--simulate", "1", "--allow-uid",
                                     std::to_string(getuid())},
                                    temp_.Path()))
      << "the driver daemon did not report ready";
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));

  const int status = Tesselctl({"set", "acceleration", "1.2"}, said);
  EXPECT_EQ(Stored("acceleration"), 1.2f);
  EXPECT_EQ(Stored("lastAcceleration"), 1.0f);
  // Only the control message can bring 1.2 (78643 in 16.16) to the driver: the helper
  // read 0.5 when it started.
  const std::string record = runtime_ + "/sim1.record";
  EXPECT_TRUE(WaitForFolder(runtime_, [&] { return LastLine(record) == "HIDMouseAcceleration 78643"; }))
      << LastLine(record);
  if (said.find("errAETimeout") == std::string::npos) {  // a helper slowed down past 250 ms is said so
    EXPECT_EQ(status, 0);
    EXPECT_EQ(said, "Acceleration set to 1.2: stored, and the acceleration helper applied it\n");
  }

  // show reports what is stored.
  EXPECT_EQ(Tesselctl({"--simulated", "--json", "show"}, said), 0) << said;
  EXPECT_NE(said.find("\"acceleration\":1.2,\"curve_path\":"), std::string::npos) << said;
}

}  // namespace
}  // namespace korvid
