// SPDX-License-Identifier: MIT
// korvid-tessel-driver as its own process, with simulated mice in a temporary runtime
// folder, used through the client library. Waits are for events (readiness, messages,
// files), each bounded by a generous timeout.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/client/DriverClient.h"
#include "platform/FourCC.h"
#include "platform/Identity.h"

extern char** environ;

namespace korvid {
namespace {

namespace fs = std::filesystem;
constexpr int kGenerousMs = 10000;

class DriverProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvid-driver-e2e.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    runtime_ = root_ + "/run";
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(root_);
  }

  // Starts the daemon and waits until it reports ready.
  void Launch(int simulated) {
    const std::string notifyPath = root_ + "/notify";
    int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, notifyPath.c_str());
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    std::vector<std::string> args = {KORVID_DRIVER_BINARY, "--runtime-dir", runtime_, "--simulate",
                                     std::to_string(simulated), "--allow-uid", std::to_string(getuid())};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"NOTIFY_SOCKET=" + notifyPath};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);

    bool ready = false;
    for (int i = 0; i < 20 && !ready; ++i) {
      pollfd p{notify, POLLIN, 0};
      if (poll(&p, 1, kGenerousMs / 20) <= 0) continue;
      char buffer[256] = {};
      const ssize_t n = recv(notify, buffer, sizeof buffer - 1, 0);
      ready = n > 0 && std::strstr(buffer, "READY=1") != nullptr;
    }
    close(notify);
    ASSERT_TRUE(ready) << "the daemon did not report ready";
  }

  std::string Socket(const std::string& name) const { return runtime_ + "/KorvidTessel-" + name + ".sock"; }

  std::string Record(const std::string& name) const {
    std::ifstream in(runtime_ + "/" + name + ".record");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Waits until the connection reports the driver's termination.
  static bool WaitTerminated(DriverConnection& connection) {
    for (int i = 0; i < 20; ++i) {
      if (connection.CheckTerminated()) return true;
      pollfd p{connection.Fd(), POLLIN, 0};
      poll(&p, 1, kGenerousMs / 20);
    }
    return connection.CheckTerminated();
  }

  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  std::string root_;
  std::string runtime_;
  pid_t pid_ = -1;
};

TEST_F(DriverProcess, ConnectOpenCallAndUnplug) {
  Launch(2);
  ASSERT_EQ(ListDriverSockets(runtime_), (std::vector<std::string>{Socket("sim1"), Socket("sim2")}));

  std::unique_ptr<DriverConnection> first, second;
  ASSERT_EQ(DriverConnection::Open(Socket("sim1"), kKvdU, first), kIOReturnSuccess);
  ASSERT_EQ(DriverConnection::Open(Socket("sim2"), kKvdU, second), kIOReturnSuccess);

  std::uint64_t out[1] = {0};
  const std::uint64_t identity[3] = {1, kKvID, 0};
  EXPECT_EQ(first->CallScalarMethod(0, identity, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], (std::uint64_t{kTesselVendorID} << 16) | kTesselProductID);

  const std::uint64_t accelerate[3] = {1, kKvSA, 0x10000};
  EXPECT_EQ(first->CallScalarMethod(0, accelerate, out), kIOReturnSuccess);
  EXPECT_EQ(out[0], 0u);
  EXPECT_EQ(Record("sim1"), "HIDMouseAcceleration 65536\n");
  EXPECT_EQ(Record("sim2"), "");

  const std::uint64_t unknown[3] = {1, FourCC("KvQQ"), 0};
  out[0] = 77;
  EXPECT_EQ(first->CallScalarMethod(0, unknown, out), kIOReturnBadArgument);
  EXPECT_EQ(out[0], 0u);
  EXPECT_EQ(first->CallScalarMethod(1, identity, out), kIOReturnUnsupported);
  EXPECT_EQ(first->CallScalarMethod(0, std::span(identity).first(2), out), kIOReturnBadArgument);

  // Unplug the mouse attached last: its client hears of it, the other goes on.
  kill(pid_, SIGUSR1);
  EXPECT_TRUE(WaitTerminated(*second));
  EXPECT_EQ(second->CallScalarMethod(0, identity, out), kIOReturnNoDevice);
  EXPECT_FALSE(fs::exists(Socket("sim2")));
  EXPECT_EQ(first->CallScalarMethod(0, identity, out), kIOReturnSuccess);
  EXPECT_FALSE(first->CheckTerminated());

  EXPECT_EQ(first->Close(), kIOReturnSuccess);
  const int status = Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(Socket("sim1")));
}

TEST_F(DriverProcess, APluggedMouseAppearsAsANewSocket) {
  Launch(0);
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(watch, runtime_.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  kill(pid_, SIGUSR2);
  bool appeared = false;
  for (int i = 0; i < 20 && !appeared; ++i) {
    pollfd p{watch, POLLIN, 0};
    poll(&p, 1, kGenerousMs / 20);
    alignas(inotify_event) char buffer[4096];
    while (read(watch, buffer, sizeof buffer) > 0) {
    }
    appeared = fs::is_socket(Socket("sim1"));
  }
  close(watch);
  ASSERT_TRUE(appeared);
  std::unique_ptr<DriverConnection> connection;
  EXPECT_EQ(DriverConnection::Open(Socket("sim1"), kKvdU, connection), kIOReturnSuccess);
}

TEST_F(DriverProcess, OpenFailuresAreReportedAsStatuses) {
  Launch(1);
  std::unique_ptr<DriverConnection> connection;
  EXPECT_EQ(DriverConnection::Open(Socket("nothing"), kKvdU, connection), kIOReturnNotFound);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(DriverConnection::Open(Socket("sim1"), FourCC("HIDu"), connection), kIOReturnUnsupported);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(DriverConnection::Open(Socket("sim1"), kKvdU, connection), kIOReturnSuccess);
}

TEST_F(DriverProcess, ADaemonThatDiesTakesItsClientsDownWithIt) {
  Launch(1);
  std::unique_ptr<DriverConnection> connection;
  ASSERT_EQ(DriverConnection::Open(Socket("sim1"), kKvdU, connection), kIOReturnSuccess);
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  EXPECT_TRUE(WaitTerminated(*connection));
  std::uint64_t out[1];
  const std::uint64_t identity[3] = {0, kKvID, 0};
  EXPECT_EQ(connection->CallScalarMethod(0, identity, out), kIOReturnNoDevice);
}

}  // namespace
}  // namespace korvid
