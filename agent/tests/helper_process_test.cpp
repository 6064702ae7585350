// SPDX-License-Identifier: MIT
// KorvidTesselHelper as its own process: the driver daemon with simulated mice in a
// temporary runtime folder, the helper on a private session bus with its own settings
// folder, and this test playing the settings pane. Every wait is for an event (a bus
// name, a file change, an exit) with a generous limit.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pane/messages/ControlMessages.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"
#include "platform/files/PreferencesStore.h"
#include "platform/process/LinuxProcessTable.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::kGenerousWaitMs;
using testing::PrivateBus;
using testing::TempFolder;
using testing::WaitForFolder;

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class HelperProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApplication();
    ASSERT_TRUE(bus_.Running()) << bus_.Error();
    runtime_ = temp_.Path() + "/run";
    config_ = temp_.Path() + "/config";
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), QStringLiteral("pane")));
    ASSERT_TRUE(connection_->isConnected());
    port_ = std::make_unique<QtDBusEventPort>(*connection_);
    if (FindNamedProcess(processes_, MakeStr255(kHelperProcessName), nullptr) == noErr) {
      GTEST_SKIP() << "a KorvidTesselHelper of this user is already running";
    }
  }
  void TearDown() override {
    port_.reset();
    connection_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("pane"));
  }

  // The driver daemon with `mice` simulated mice, once it reports ready.
  void StartDaemon(int mice) {
    ASSERT_TRUE(testing::StartService(daemon_, KORVID_DRIVER_BINARY,
                                      {"--runtime-dir", runtime_, "--simulate", std::to_string(mice),
                                       "--allow-uid", std::to_string(getuid())},
                                      temp_.Path()))
        << "the driver daemon did not report ready";
  }

  std::vector<std::string> HelperEnvironment(const std::string& display = "") const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + bus_.Address(), "XDG_CONFIG_HOME=" + config_, "DISPLAY=" + display};
  }

  // Starts a helper and waits until it has taken its bus name, which it does last.
  bool StartHelper(ChildProcess& helper, const std::string& display = "") {
    if (!helper.Start(KORVID_HELPER_BINARY, {"--runtime-dir", runtime_}, HelperEnvironment(display))) return false;
    const QString name = QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(helper.Pid()));
    QDBusServiceWatcher watcher(name, *connection_, QDBusServiceWatcher::WatchForRegistration);
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
    QTimer::singleShot(kGenerousWaitMs, &loop, &QEventLoop::quit);
    if (!connection_->interface()->isServiceRegistered(name)) loop.exec();
    return connection_->interface()->isServiceRegistered(name);
  }

  void StoreAcceleration(float value) {
    PropertyList domain = PropertyList::NewDictionary();
    domain.SetFloat("acceleration", value);
    ASSERT_EQ(PreferencesStore(config_ + "/korvid").SetPersistentDomain(kSettingsDomain, domain), noErr);
  }

  // The control message as the pane sends it, waiting (generously) for the reply.
  OSStatus Send(std::uint32_t command, std::int32_t value, std::int32_t& result, bool& hasResult) {
    ProcessSerialNumber psn{};
    if (const OSStatus status = FindNamedProcess(processes_, MakeStr255(kHelperProcessName), &psn)) return status;
    AppleEvent event;
    AECreateAppleEvent(kKvdO, kKvdC, AddressOf(psn), kAutoGenerateReturnID, kAnyTransactionID, event);
    AEPutParamValue(event, keyDirectObject, typeMagnitude, command);
    AEPutParamValue(event, kKvdC, typeSInt32, value);
    AppleEvent reply;
    if (const OSStatus status = port_->SendMessage(event, reply, kAEWaitReply, kGenerousWaitMs * 60 / 1000)) {
      return status;
    }
    hasResult = AEGetParamValue(reply, keyDirectObject, typeSInt32, result) == noErr;
    std::int32_t error = 0;
    return AEGetParamValue(reply, keyErrorNumber, typeSInt32, error) == noErr ? error : noErr;
  }

  std::string Record(int mouse) const { return runtime_ + "/sim" + std::to_string(mouse) + ".record"; }
  std::string Line(std::int32_t value) const { return "HIDMouseAcceleration " + std::to_string(value); }

  // Waits until the mouse's record has `count` lines.
  bool WaitForRecordLines(int mouse, std::size_t count) {
    return WaitForFolder(runtime_, [&] { return Lines(Record(mouse)).size() >= count; });
  }

  PrivateBus bus_;
  TempFolder temp_;
  std::string runtime_;
  std::string config_;
  ChildProcess daemon_;
  LinuxProcessTable processes_;
  std::unique_ptr<QDBusConnection> connection_;
  std::unique_ptr<QtDBusEventPort> port_;
};

TEST_F(HelperProcess, SetAccelerationReachesBothSimulatedMice) {
  StartDaemon(2);
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));
  // As the pane sends it: no reply.
  ASSERT_EQ(SendControlToKext(processes_, *port_, MakeStr255("KorvidTesselHelper"), kKvSA, 98304, nullptr), noErr);
  EXPECT_TRUE(WaitForFolder(runtime_, [&] {
    return !Lines(Record(1)).empty() && Lines(Record(1)).back() == Line(98304) && !Lines(Record(2)).empty() &&
           Lines(Record(2)).back() == Line(98304);
  }));
  std::int32_t result = -1;
  bool hasResult = false;
  ASSERT_EQ(Send(kKvSA, 65536, result, hasResult), noErr);
  EXPECT_TRUE(hasResult);
  EXPECT_EQ(result, 0);
  for (int mouse : {1, 2}) {
    ASSERT_FALSE(Lines(Record(mouse)).empty());
    EXPECT_EQ(Lines(Record(mouse)).back(), Line(65536)) << mouse;
  }
}

TEST_F(HelperProcess, WithoutDriversSetAccelerationAnswersZero) {
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));  // no daemon: not even its runtime folder exists
  std::int32_t result = -1;
  bool hasResult = false;
  EXPECT_EQ(Send(kKvSA, 65536, result, hasResult), noErr);
  EXPECT_TRUE(hasResult);
  EXPECT_EQ(result, 0);
}

TEST_F(HelperProcess, AnUnknownCommandFailsWith706) {
  StartDaemon(2);
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));
  std::int32_t result = -1;
  bool hasResult = false;
  EXPECT_EQ(Send(FourCC("KvQQ"), 1, result, hasResult), 706);
  EXPECT_FALSE(hasResult);
  // The identity request is forwarded and answered by the last mouse.
  EXPECT_EQ(Send(kKvID, 0, result, hasResult), noErr);
  EXPECT_EQ(result, static_cast<std::int32_t>((std::uint32_t{kTesselVendorID} << 16) | kTesselProductID));
}

TEST_F(HelperProcess, ASecondHelperQuitsAtOnce) {
  ChildProcess first, second;
  ASSERT_TRUE(StartHelper(first));
  ASSERT_TRUE(second.Start(KORVID_HELPER_BINARY, {"--runtime-dir", runtime_}, HelperEnvironment()));
  const int status = second.WaitExit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::int32_t result = -1;
  bool hasResult = false;
  EXPECT_EQ(Send(kKvSA, 0, result, hasResult), noErr);
}

TEST_F(HelperProcess, AMouseAttachedLaterGetsTheValueHalfASecondAfterItConnects) {
  StartDaemon(1);
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));
  // The push that follows the first mouse's connection goes to every mouse connected when
  // it runs; wait for it, so that the second mouse hears only its own push.
  ASSERT_TRUE(WaitForRecordLines(1, 1));
  std::int32_t result = -1;
  bool hasResult = false;
  ASSERT_EQ(Send(kKvSA, 131072, result, hasResult), noErr);
  const auto plugged = std::chrono::steady_clock::now();
  kill(daemon_.Pid(), SIGUSR2);  // plugs in sim2
  ASSERT_TRUE(WaitForRecordLines(2, 1));
  const auto elapsed = std::chrono::steady_clock::now() - plugged;
  EXPECT_EQ(Lines(Record(2)), std::vector<std::string>{Line(131072)});
  EXPECT_GE(elapsed, std::chrono::milliseconds(450));
}

TEST_F(HelperProcess, AnUnpluggedMouseLeavesTheList) {
  StartDaemon(2);
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));
  kill(daemon_.Pid(), SIGUSR1);  // unplugs sim2, the last in the helper's list
  // Until the helper has heard of it, a call to it fails with kIOReturnNoDevice (704).
  std::int32_t result = -1;
  bool hasResult = false;
  OSStatus status = -1;
  for (int attempt = 0; attempt < 200 && status != noErr; ++attempt) status = Send(kKvSA, 32768, result, hasResult);
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(Lines(Record(1)).back(), Line(32768));
}

TEST_F(HelperProcess, StoredAccelerationIsPushedAfterConnecting) {
  StartDaemon(1);
  const std::vector<std::pair<float, std::int32_t>> cases = {{1.0f, 65536}, {2.0f, 131072}, {2.5f, 0}, {-0.1f, 0}};
  std::size_t lines = 0;
  for (const auto& [stored, expected] : cases) {
    StoreAcceleration(stored);
    ChildProcess helper;
    ASSERT_TRUE(StartHelper(helper));
    ASSERT_TRUE(WaitForRecordLines(1, ++lines)) << stored;
    EXPECT_EQ(Lines(Record(1)).back(), Line(expected)) << stored;
    kill(helper.Pid(), SIGTERM);
    const int status = helper.WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

TEST_F(HelperProcess, QuitsOnTheQuitEvent) {
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper));
  AppleEvent event, reply;
  AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, AddressOf({0, static_cast<std::uint32_t>(helper.Pid())}),
                     kAutoGenerateReturnID, kAnyTransactionID, event);
  EXPECT_EQ(port_->SendMessage(event, reply, kAENoReply, 0), noErr);
  const int status = helper.WaitExit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// --- The front application under a virtual X server ---------------------------------

class VirtualDisplay {
 public:
  bool Start() {
    const char* candidates[] = {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"};
    for (const char* path : candidates) {
      if (access(path, X_OK) != 0) continue;
      // Xvfb picks a free display and writes its number to our pipe once it is ready.
      if (!server_.Start(path, {"-displayfd", "1", "-screen", "0", "320x240x24", "-nolisten", "tcp"}, {})) {
        return false;
      }
      std::string number;
      if (!server_.ReadLine(number) || number.empty()) return false;
      name_ = ":" + number;
      return true;
    }
    return false;
  }
  const std::string& Name() const { return name_; }

 private:
  ChildProcess server_;
  std::string name_;
};

class Desktop {
 public:
  explicit Desktop(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    const char name[] = "_NET_ACTIVE_WINDOW";
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, sizeof name - 1, name), nullptr);
    active_ = atom->atom;
    free(atom);
  }
  ~Desktop() { xcb_disconnect(connection_); }
  bool Ok() const { return xcb_connection_has_error(connection_) == 0; }

  // A window with WM_CLASS "instance\0className\0", or none when className is empty.
  xcb_window_t Window(const std::string& className) {
    const xcb_window_t window = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    if (!className.empty()) {
      const std::string value = "instance" + std::string(1, '\0') + className + std::string(1, '\0');
      xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                          static_cast<std::uint32_t>(value.size()), value.data());
    }
    xcb_flush(connection_);
    return window;
  }
  // What a window manager does when a window comes to the front.
  void Activate(xcb_window_t window) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, root_, active_, XCB_ATOM_WINDOW, 32, 1, &window);
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));  // round trip
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  xcb_atom_t active_ = 0;
};

TEST_F(HelperProcess, FrontSwitchPushesOncePerChangeOfClass) {
  VirtualDisplay display;
  if (!display.Start()) GTEST_SKIP() << "no virtual X server (Xvfb)";
  Desktop desktop(display.Name());
  ASSERT_TRUE(desktop.Ok());
  const xcb_window_t editor1 = desktop.Window("Editor");
  const xcb_window_t editor2 = desktop.Window("Editor");
  const xcb_window_t game = desktop.Window("Game");
  const xcb_window_t unnamed = desktop.Window("");

  StartDaemon(1);
  StoreAcceleration(1.0f);
  ChildProcess helper;
  ASSERT_TRUE(StartHelper(helper, display.Name()));
  ASSERT_TRUE(WaitForRecordLines(1, 1));  // the push after connecting

  // Windows without a class push at every switch.
  desktop.Activate(unnamed);
  ASSERT_TRUE(WaitForRecordLines(1, 2));
  desktop.Activate(unnamed);
  ASSERT_TRUE(WaitForRecordLines(1, 3));
  // The helper reads the active window when it handles a switch, so a handler may see a
  // later window than the one that made it run. Each step to the same class is therefore
  // followed at once by a step to another named class: either way that pair pushes once,
  // and a late handler only ever sees the class it would have seen anyway.
  desktop.Activate(editor1);
  ASSERT_TRUE(WaitForRecordLines(1, 4));
  desktop.Activate(editor2);  // same class: nothing
  desktop.Activate(game);
  ASSERT_TRUE(WaitForRecordLines(1, 5));
  desktop.Activate(game);  // the same again: nothing
  desktop.Activate(editor1);
  ASSERT_TRUE(WaitForRecordLines(1, 6));
  // A control message behind them all: nothing more came from the switches.
  std::int32_t result = -1;
  bool hasResult = false;
  ASSERT_EQ(Send(kKvSA, 131072, result, hasResult), noErr);
  std::vector<std::string> expected(6, Line(65536));
  expected.push_back(Line(131072));
  EXPECT_EQ(Lines(Record(1)), expected);
}

}  // namespace
}  // namespace korvid
