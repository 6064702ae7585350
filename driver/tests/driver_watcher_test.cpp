// SPDX-License-Identifier: MIT
// The inotify driver watcher against the real driver daemon (simulated mice) and against
// a stand-in driver that never answers. Waits are for events on a Qt loop, each bounded.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "driver/client/DriverProtocol.h"
#include "platform/FourCC.h"
#include "driver/client/InotifyDriverWatcher.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/events/testing/QtTestLoop.h"

namespace korvid {
namespace {

using testing::ChildProcess;
using testing::kGenerousWaitMs;
using testing::RunUntil;
using testing::TempFolder;

class DriverWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApplication();
    runtime_ = temp_.Path() + "/run";
  }

  void StartDaemon(int mice) {
    ASSERT_TRUE(testing::StartService(daemon_, KORVID_DRIVER_BINARY,
                                      {"--runtime-dir", runtime_, "--simulate", std::to_string(mice),
                                       "--allow-uid", std::to_string(getuid())},
                                      temp_.Path()))
        << "the driver daemon did not report ready";
  }

  void Watch(InotifyDriverWatcher& watcher) {
    ASSERT_EQ(watcher.Start([this](const std::string& s) { matched_.push_back(s); },
                            [this](const std::string& s) { terminated_.push_back(s); }),
              kIOReturnSuccess);
  }

  TempFolder temp_;
  std::string runtime_;
  ChildProcess daemon_;
  std::vector<std::string> matched_;
  std::vector<std::string> terminated_;
};

TEST_F(DriverWatcherTest, DriversPresentAtStartAreMatchedBeforeStartReturns) {
  StartDaemon(2);
  InotifyDriverWatcher watcher(runtime_);
  Watch(watcher);
  EXPECT_EQ(matched_, (std::vector<std::string>{"KorvidTessel-sim1.sock", "KorvidTessel-sim2.sock"}));
  // A socket renamed out of the folder is gone as much as a removed one.
  ASSERT_EQ(rename((runtime_ + "/KorvidTessel-sim1.sock").c_str(), (temp_.Path() + "/moved.sock").c_str()), 0);
  ASSERT_TRUE(RunUntil([&] { return !terminated_.empty(); }));
  EXPECT_EQ(terminated_, std::vector<std::string>{"KorvidTessel-sim1.sock"});
}

TEST_F(DriverWatcherTest, ARuntimeFolderThatAppearsLaterIsFollowed) {
  InotifyDriverWatcher watcher(runtime_);
  Watch(watcher);
  EXPECT_TRUE(matched_.empty());
  StartDaemon(1);
  ASSERT_TRUE(RunUntil([&] { return !matched_.empty(); }));
  EXPECT_EQ(matched_, std::vector<std::string>{"KorvidTessel-sim1.sock"});
  kill(daemon_.Pid(), SIGUSR2);
  ASSERT_TRUE(RunUntil([&] { return matched_.size() == 2; }));
  EXPECT_EQ(matched_[1], "KorvidTessel-sim2.sock");
}

TEST_F(DriverWatcherTest, AnUnpluggedMouseIsTerminatedOnceForItsConnection) {
  StartDaemon(2);
  InotifyDriverWatcher watcher(runtime_);
  Watch(watcher);
  io_connect_t first = 0, second = 0;
  ASSERT_EQ(watcher.Open("KorvidTessel-sim1.sock", kKvdU, first), kIOReturnSuccess);
  ASSERT_EQ(watcher.Open("KorvidTessel-sim2.sock", kKvdU, second), kIOReturnSuccess);
  EXPECT_NE(first, second);
  std::vector<io_connect_t> messages;
  io_object_t n1 = 0, n2 = 0;
  ASSERT_EQ(watcher.AddInterestNotification(first, [&](std::uint32_t) { messages.push_back(first); }, n1),
            kIOReturnSuccess);
  ASSERT_EQ(watcher.AddInterestNotification(
                second,
                [&](std::uint32_t message) {
                  EXPECT_EQ(message, kIOMessageServiceIsTerminated);
                  messages.push_back(second);
                  watcher.ReleaseNotification(n2);  // from inside its own handler
                  watcher.Close(second);
                },
                n2),
            kIOReturnSuccess);
  kill(daemon_.Pid(), SIGUSR1);
  ASSERT_TRUE(RunUntil([&] { return !messages.empty() && !terminated_.empty(); }));
  // Both the vanished socket and the daemon's message arrive; the handler runs once.
  RunUntil([] { return false; }, 300);
  EXPECT_EQ(messages, std::vector<io_connect_t>{second});
  EXPECT_EQ(terminated_, std::vector<std::string>{"KorvidTessel-sim2.sock"});
  EXPECT_EQ(watcher.OpenConnections(), 1u);
  std::uint64_t in[3] = {first, kKvSA, 0x10000}, out[1] = {7};
  EXPECT_EQ(watcher.CallScalarMethod(first, 0, in, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], 0u);
}

TEST_F(DriverWatcherTest, ADaemonThatDiesTerminatesItsConnections) {
  StartDaemon(1);
  InotifyDriverWatcher watcher(runtime_);
  Watch(watcher);
  io_connect_t connection = 0;
  ASSERT_EQ(watcher.Open("KorvidTessel-sim1.sock", kKvdU, connection), kIOReturnSuccess);
  int messages = 0;
  io_object_t notification = 0;
  ASSERT_EQ(watcher.AddInterestNotification(connection, [&](std::uint32_t) { ++messages; }, notification),
            kIOReturnSuccess);
  kill(daemon_.Pid(), SIGKILL);
  ASSERT_TRUE(RunUntil([&] { return messages > 0; }));
  std::uint64_t in[3] = {connection, kKvID, 0}, out[1];
  EXPECT_EQ(watcher.CallScalarMethod(connection, 0, in, out), kIOReturnNoDevice);
  EXPECT_EQ(messages, 1);
}

// A driver socket that accepts, answers the open, and then never answers again.
class HungDriver {
 public:
  explicit HungDriver(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 4);
    thread_ = std::thread([this] {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, kGenerousWaitMs) <= 0) return;
      client_ = accept(fd_, nullptr, nullptr);
      std::uint8_t frame[driverproto::kHeaderSize + 4];
      if (recv(client_, frame, sizeof frame, MSG_WAITALL) != static_cast<ssize_t>(sizeof frame)) return;
      std::uint32_t serial = 0;
      std::memcpy(&serial, frame + 12, 4);
      const auto reply = driverproto::EncodeReply(driverproto::kOpen | driverproto::kReply, serial, 0);
      send(client_, reply.data(), reply.size(), MSG_NOSIGNAL);
    });
  }
  ~HungDriver() {
    thread_.join();
    if (client_ >= 0) close(client_);
    close(fd_);
  }

 private:
  int fd_ = -1;
  int client_ = -1;
  std::thread thread_;
};

TEST_F(DriverWatcherTest, AHungDriverDelaysACallOnlyUntilTheTimeout) {
  ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
  HungDriver hung(runtime_ + "/KorvidTessel-hung.sock");
  InotifyDriverWatcher watcher(runtime_, 200);
  Watch(watcher);
  ASSERT_EQ(matched_, std::vector<std::string>{"KorvidTessel-hung.sock"});
  io_connect_t connection = 0;
  ASSERT_EQ(watcher.Open(matched_[0], kKvdU, connection), kIOReturnSuccess);
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t in[3] = {connection, kKvSA, 0}, out[1];
  EXPECT_EQ(watcher.CallScalarMethod(connection, 0, in, out), kIOReturnTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace korvid
