// SPDX-License-Identifier: MIT
// The daemon's core on its own loop, driven step by step from the test: every wait is a
// turn of the loop, never a sleep.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "driver/TesselPointing.h"
#include "driver/daemon/DriverDaemon.h"
#include "driver/testing/RecordingPointing.h"
#include "platform/Identity.h"
#include "platform/input/testing/FakeInputDevice.h"

namespace korvid {
namespace {

using namespace driverproto;
namespace fs = std::filesystem;

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvid-daemon-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_GE(sd_event_new(&loop_), 0);
  }
  void TearDown() override {
    daemon_.reset();
    sd_event_unref(loop_);
    fs::remove_all(root_);
  }

  void StartDaemon(DaemonOptions options = {}) {
    options.runtimeDir = root_ + "/run";
    daemon_ = std::make_unique<DriverDaemon>(loop_, options, policy_);
    ASSERT_EQ(daemon_->Start(), kIOReturnSuccess);
  }

  RecordingPointing* AddMouse(const std::string& name) {
    auto pointing = std::make_unique<RecordingPointing>();
    RecordingPointing* raw = pointing.get();
    MouseSpec spec{name, {kTesselVendorID, kTesselProductID, 0x0200, 3}, 0, std::move(pointing)};
    EXPECT_EQ(daemon_->AddMouse(std::move(spec)), kIOReturnSuccess);
    return raw;
  }

  // Runs the loop until it has nothing left to do now.
  void Pump() {
    while (sd_event_run(loop_, 0) > 0) {
    }
  }

  // A client speaking raw frames through a non-blocking socket.
  struct Client {
    DaemonTest* test;
    int fd = -1;
    FrameReader reader;
    bool closed = false;
    ~Client() {
      if (fd >= 0) close(fd);
    }
    void Send(const std::vector<std::uint8_t>& bytes) {
      ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // The next frame the daemon sent, after letting it work.
    std::optional<Reply> Receive() {
      test->Pump();
      std::vector<std::uint8_t> frame;
      for (;;) {
        if (reader.Next(frame) == FrameReader::Result::kFrame) {
          Reply reply;
          EXPECT_EQ(DecodeReply(frame, reply), kIOReturnSuccess);
          return reply;
        }
        std::uint8_t buffer[256];
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, reader.Room()), MSG_DONTWAIT);
        if (n <= 0) {
          // An end of stream, or a reset when the daemon hung up on unread requests.
          if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
          return std::nullopt;
        }
        reader.Feed({buffer, static_cast<std::size_t>(n)});
      }
    }
    // Whether the daemon has closed the connection (after the frames it sent).
    bool Closed() {
      while (Receive()) {
      }
      return closed;
    }
    Reply Expect() {
      auto reply = Receive();
      EXPECT_TRUE(reply.has_value());
      return reply.value_or(Reply{});
    }
    IOReturn Open(std::uint32_t type = kKvdU) {
      Send(EncodeOpen(1, type));
      Reply reply = Expect();
      EXPECT_EQ(reply.kind, kOpen | kReply);
      return reply.status;
    }
    IOReturn Call(std::uint32_t selector, std::vector<std::uint64_t> inputs, std::uint32_t outputCount,
                  std::vector<std::uint64_t>* outputs = nullptr) {
      Send(EncodeCall(5, selector, inputs, outputCount));
      Reply reply = Expect();
      EXPECT_EQ(reply.kind, kCall | kReply);
      EXPECT_EQ(reply.serial, 5u);
      if (outputs != nullptr) *outputs = reply.outputs;
      return reply.status;
    }
  };

  // Connects without waiting for the daemon (the connection waits in the backlog).
  std::unique_ptr<Client> Connect(const std::string& name) {
    auto client = std::make_unique<Client>();
    client->test = this;
    client->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = daemon_->SocketPath(name);
    std::strcpy(address.sun_path, path.c_str());
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (connect(client->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return client;
      if (errno != EAGAIN) break;
      Pump();  // the backlog is full: let the daemon accept
    }
    ADD_FAILURE() << "cannot connect to " << path << ": " << std::strerror(errno);
    return client;
  }

  std::string root_;
  sd_event* loop_ = nullptr;
  ListPeerPolicy policy_{{static_cast<unsigned>(getuid())}};
  std::unique_ptr<DriverDaemon> daemon_;
};

std::int32_t LastAcceleration(const RecordingPointing& pointing) {
  std::int32_t value = -1;
  if (pointing.Received().empty()) return value;
  EXPECT_EQ(ReadAccelerationParameter(pointing.Received().back(), value), kIOReturnSuccess);
  return value;
}

TEST_F(DaemonTest, PublishesOneSocketPerMouseAndRemovesStaleOnes) {
  fs::create_directories(root_ + "/run");
  { std::ofstream(root_ + "/run/KorvidTessel-old.sock"); }
  StartDaemon();
  EXPECT_FALSE(fs::exists(root_ + "/run/KorvidTessel-old.sock"));
  AddMouse("event3");
  AddMouse("event9");
  EXPECT_TRUE(fs::is_socket(daemon_->SocketPath("event3")));
  EXPECT_TRUE(fs::is_socket(daemon_->SocketPath("event9")));
  EXPECT_EQ(fs::status(daemon_->SocketPath("event3")).permissions() & fs::perms::others_write, fs::perms::others_write);
  EXPECT_EQ(daemon_->AddMouse({"event3", {}, 0, nullptr}), kIOReturnExclusiveAccess);
  EXPECT_EQ(daemon_->AddMouse({"../escape", {}, 0, nullptr}), kIOReturnBadArgument);
}

TEST_F(DaemonTest, OpenThenCallReadsTheIdentityAndSetsTheAcceleration) {
  StartDaemon();
  RecordingPointing* pointing = AddMouse("event3");
  auto client = Connect("event3");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  EXPECT_EQ(daemon_->UserClientCount("event3"), 1u);
  std::vector<std::uint64_t> out;
  EXPECT_EQ(client->Call(0, {42, kKvID, 0}, 1, &out), kIOReturnSuccess);
  EXPECT_EQ(out, (std::vector<std::uint64_t>{(std::uint64_t{kTesselVendorID} << 16) | kTesselProductID}));
  EXPECT_EQ(client->Call(0, {42, kKvSA, 0x10000}, 1, &out), kIOReturnSuccess);
  EXPECT_EQ(out, (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(LastAcceleration(*pointing), 65536);
}

TEST_F(DaemonTest, MethodTableAndCountsAreCheckedOverTheSocket) {
  StartDaemon();
  RecordingPointing* pointing = AddMouse("event3");
  auto client = Connect("event3");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  std::vector<std::uint64_t> out;
  EXPECT_EQ(client->Call(1, {0, kKvID, 0}, 1), kIOReturnUnsupported);
  EXPECT_EQ(client->Call(0, {0, kKvSA}, 1), kIOReturnBadArgument);
  EXPECT_EQ(client->Call(0, {0, kKvSA, 1, 2}, 1), kIOReturnBadArgument);
  EXPECT_EQ(client->Call(0, {0, kKvSA, 1}, 0), kIOReturnBadArgument);
  EXPECT_EQ(client->Call(0, {0, FourCC("KvZZ"), 1}, 1, &out), kIOReturnBadArgument);
  EXPECT_EQ(client->Call(0, {0, kKvSA, 0x1'0001'0000}, 1, &out), kIOReturnBadArgument);
  EXPECT_EQ(out, (std::vector<std::uint64_t>{0}));
  EXPECT_TRUE(pointing->Received().empty());
  // Counts above the limit are refused; the connection keeps working.
  client->Send(EncodeCall(6, 0, std::vector<std::uint64_t>{0, kKvID, 0}, 17));
  Reply reply = client->Expect();
  EXPECT_EQ(reply.kind, kCall | kReply);
  EXPECT_EQ(reply.status, kIOReturnBadArgument);
  EXPECT_EQ(client->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
}

TEST_F(DaemonTest, OpenWithAnotherTypeIsDeclinedAndTheConnectionMayOpenAgain) {
  StartDaemon();
  AddMouse("event3");
  auto client = Connect("event3");
  EXPECT_EQ(client->Open(FourCC("HIDu")), kIOReturnUnsupported);
  EXPECT_EQ(daemon_->UserClientCount("event3"), 0u);
  EXPECT_EQ(client->Call(0, {0, kKvID, 0}, 1), kIOReturnNotOpen);
  EXPECT_EQ(client->Open(), kIOReturnSuccess);
  EXPECT_EQ(client->Open(), kIOReturnExclusiveAccess);
  EXPECT_EQ(daemon_->UserClientCount("event3"), 1u);
}

TEST_F(DaemonTest, CloseDetachesTheClientAnswersSuccessAndHangsUp) {
  StartDaemon();
  AddMouse("event3");
  auto client = Connect("event3");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  client->Send(EncodeClose(8));
  Reply reply = client->Expect();
  EXPECT_EQ(reply.kind, kClose | kReply);
  EXPECT_EQ(reply.status, kIOReturnSuccess);
  EXPECT_TRUE(client->Closed());
  EXPECT_EQ(daemon_->UserClientCount("event3"), 0u);
  EXPECT_EQ(daemon_->ConnectionCount(), 0u);
}

TEST_F(DaemonTest, AClientThatDiesIsDetached) {
  StartDaemon();
  AddMouse("event3");
  auto a = Connect("event3");
  auto b = Connect("event3");
  ASSERT_EQ(a->Open(), kIOReturnSuccess);
  ASSERT_EQ(b->Open(), kIOReturnSuccess);
  EXPECT_EQ(daemon_->UserClientCount("event3"), 2u);
  // a dies in the middle of a call: the request is out, nobody reads the answer.
  a->Send(EncodeCall(1, 0, std::vector<std::uint64_t>{0, kKvSA, 5}, 1));
  close(a->fd);
  a->fd = -1;
  Pump();
  EXPECT_EQ(daemon_->UserClientCount("event3"), 1u);
  EXPECT_EQ(daemon_->ConnectionCount(), 1u);
  EXPECT_EQ(b->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
}

TEST_F(DaemonTest, GarbledAndOversizeFramesAreRefusedAndOthersGoOn) {
  StartDaemon();
  AddMouse("event3");
  auto good = Connect("event3");
  ASSERT_EQ(good->Open(), kIOReturnSuccess);

  auto garbled = Connect("event3");
  const std::string http = "GET / HTTP/1.1\r\n\r\n";
  garbled->Send({http.begin(), http.end()});
  Reply reply = garbled->Expect();
  EXPECT_EQ(reply.kind, kRefused);
  EXPECT_EQ(reply.status, kIOReturnBadArgument);
  EXPECT_TRUE(garbled->Closed());

  auto oversize = Connect("event3");
  auto frame = EncodeClose(1);
  const std::uint32_t huge = 1u << 30;
  std::memcpy(frame.data() + 8, &huge, 4);
  oversize->Send(frame);
  EXPECT_EQ(oversize->Expect().status, kIOReturnBadArgument);
  EXPECT_TRUE(oversize->Closed());

  auto unknownKind = Connect("event3");
  auto strange = EncodeClose(1);
  const std::uint32_t kind = 0x55;
  std::memcpy(strange.data() + 4, &kind, 4);
  unknownKind->Send(strange);
  EXPECT_EQ(unknownKind->Expect().kind, kRefused);
  EXPECT_TRUE(unknownKind->Closed());

  EXPECT_EQ(good->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
  EXPECT_EQ(daemon_->ConnectionCount(), 1u);
}

TEST_F(DaemonTest, ATruncatedFrameFromAVanishingClientLeavesNothingBehind) {
  StartDaemon();
  AddMouse("event3");
  auto client = Connect("event3");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  auto frame = EncodeCall(1, 0, std::vector<std::uint64_t>{0, kKvSA, 5}, 1);
  frame.resize(frame.size() - 5);
  client->Send(frame);
  Pump();
  EXPECT_EQ(daemon_->ConnectionCount(), 1u);
  close(client->fd);
  client->fd = -1;
  Pump();
  EXPECT_EQ(daemon_->ConnectionCount(), 0u);
  EXPECT_EQ(daemon_->UserClientCount("event3"), 0u);
}

TEST_F(DaemonTest, AClientThatStallsMidFrameOrNeverOpensIsTimedOut) {
  DaemonOptions options;
  options.frameTimeoutUs = 1000;
  StartDaemon(options);
  AddMouse("event3");
  auto stalled = Connect("event3");
  auto silent = Connect("event3");
  ASSERT_EQ(stalled->Open(), kIOReturnSuccess);
  auto frame = EncodeCall(1, 0, std::vector<std::uint64_t>{0, kKvSA, 5}, 1);
  stalled->Send({frame.begin(), frame.begin() + 10});
  // Wait for the timers as events, a generous bound on each turn.
  for (int i = 0; i < 100 && daemon_->ConnectionCount() > 0; ++i) sd_event_run(loop_, 200'000);
  EXPECT_EQ(daemon_->ConnectionCount(), 0u);
  EXPECT_EQ(stalled->Expect().status, kIOReturnTimeout);
  EXPECT_EQ(silent->Expect().status, kIOReturnTimeout);
  EXPECT_EQ(daemon_->UserClientCount("event3"), 0u);
}

// Requests sent without waiting for their replies, far more than the sockets hold: each
// is answered in order while the peer keeps reading, however slowly; a peer that stops
// reading is dropped after the frame timeout, one that was never read from is not.
TEST_F(DaemonTest, PipelinedCallsAreAllAnsweredAndOnlyAPeerThatStopsReadingIsDropped) {
  DaemonOptions options;
  options.frameTimeoutUs = 1'000'000;  // far longer than a turn of the loop below
  StartDaemon(options);
  AddMouse("event3");
  auto reader = Connect("event3");
  auto stopped = Connect("event3");
  ASSERT_EQ(reader->Open(), kIOReturnSuccess);
  ASSERT_EQ(stopped->Open(), kIOReturnSuccess);
  constexpr std::uint32_t kCalls = 2000;
  // The stopped peer's calls fill a whole frame buffer each (16 inputs, answered as bad
  // arguments), so the daemon never holds half of one: only the unread replies count.
  const auto pour = [](Client& client, std::uint32_t& sent, std::size_t& offset, std::size_t inputs) {
    while (sent < kCalls) {
      std::vector<std::uint64_t> scalars(inputs, 0);
      scalars[1] = kKvID;
      const auto frame = EncodeCall(sent, 0, scalars, 1);
      const ssize_t n = send(client.fd, frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return;
      offset += static_cast<std::size_t>(n);
      if (offset == frame.size()) offset = 0, ++sent;
    }
  };
  std::uint32_t sent = 0;
  std::uint32_t answered = 0;
  std::size_t offset = 0;
  std::uint32_t stoppedSent = 0;
  std::size_t stoppedOffset = 0;
  for (int turn = 0; turn < 100000 && answered < kCalls; ++turn) {
    pour(*reader, sent, offset, 3);
    pour(*stopped, stoppedSent, stoppedOffset, kMaxScalars);
    Pump();
    if (turn % 3 != 2) continue;  // the replies back up before they are read
    while (auto reply = reader->Receive()) {
      ASSERT_EQ(reply->kind, kCall | kReply);
      ASSERT_EQ(reply->serial, answered);
      ASSERT_EQ(reply->status, kIOReturnSuccess);
      ++answered;
    }
    ASSERT_FALSE(reader->closed) << "after " << answered << " replies";
  }
  EXPECT_EQ(answered, kCalls);
  EXPECT_GT(stoppedSent, 0u);
  EXPECT_LT(stoppedSent, kCalls);  // its requests wait in its socket, unread
  for (int i = 0; i < 100 && daemon_->ConnectionCount() > 1; ++i) sd_event_run(loop_, 200'000);
  EXPECT_EQ(daemon_->ConnectionCount(), 1u);
  EXPECT_TRUE(stopped->Closed());
  EXPECT_EQ(reader->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
}

// Calls sent two at a time and not read until the daemon cannot send a reply: once the
// peer reads, every call is answered without a byte more from it, also when the call the
// daemon could not answer at once was the first of a pair (the second then waits in the
// daemon, not in the socket). Whether it is the first depends on how many replies the
// socket holds, so the pairs start at both offsets.
TEST_F(DaemonTest, RequestsReadBeforeAReplyBackedUpAreAnsweredOnceItIsSent) {
  StartDaemon();
  AddMouse("event3");
  for (std::uint32_t offset = 0; offset < 2; ++offset) {
    auto client = Connect("event3");
    ASSERT_EQ(client->Open(), kIOReturnSuccess);
    std::uint32_t sent = 0;
    const auto call = [&](std::uint32_t count) {
      std::vector<std::uint8_t> bytes;
      for (std::uint32_t i = 0; i < count; ++i) {
        const auto frame = EncodeCall(sent++, 0, std::vector<std::uint64_t>{0, kKvID, 0}, 1);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
      }
      client->Send(bytes);
      Pump();
    };
    call(offset);
    const std::size_t kReplySize = EncodeReply(kCall | kReply, 0, 0, std::vector<std::uint64_t>{0}).size();
    int queued = 0;
    for (int i = 0; i < 5000 && static_cast<std::size_t>(queued) == kReplySize * sent; ++i) {
      call(2);
      ASSERT_EQ(ioctl(client->fd, FIONREAD, &queued), 0);
    }
    ASSERT_LT(static_cast<std::size_t>(queued), kReplySize * sent) << "the replies never backed up";
    std::uint32_t answered = 0;
    for (int i = 0; i < 100 && answered < sent; ++i) {
      while (client->Receive()) ++answered;
    }
    EXPECT_EQ(answered, sent) << "offset " << offset;
  }
}

TEST_F(DaemonTest, AFullDaemonEvictsTheOldestIdleConnectionNotOneMidRequest) {
  DaemonOptions options;
  options.maxConnections = 2;
  StartDaemon(options);
  AddMouse("event3");
  auto midRequest = Connect("event3");
  auto idle = Connect("event3");
  ASSERT_EQ(midRequest->Open(), kIOReturnSuccess);
  ASSERT_EQ(idle->Open(), kIOReturnSuccess);
  const auto frame = EncodeCall(7, 0, std::vector<std::uint64_t>{0, kKvID, 0}, 1);
  midRequest->Send({frame.begin(), frame.begin() + 20});
  Pump();
  auto newcomer = Connect("event3");
  EXPECT_EQ(newcomer->Open(), kIOReturnSuccess);
  EXPECT_EQ(idle->Expect().status, kIOReturnNoResources);
  midRequest->Send({frame.begin() + 20, frame.end()});
  const Reply reply = midRequest->Expect();
  EXPECT_EQ(reply.serial, 7u);
  EXPECT_EQ(reply.status, kIOReturnSuccess);
}

TEST_F(DaemonTest, PeersThePolicyRefusesAreToldSoAndDisconnected) {
  policy_ = ListPeerPolicy({static_cast<unsigned>(getuid()) + 1});
  StartDaemon();
  AddMouse("event3");
  auto client = Connect("event3");
  Reply reply = client->Expect();
  EXPECT_EQ(reply.kind, kRefused);
  EXPECT_EQ(reply.status, kIOReturnNotPrivileged);
  EXPECT_TRUE(client->Closed());
  EXPECT_EQ(daemon_->ConnectionCount(), 0u);
}

TEST_F(DaemonTest, ThousandsOfConnectionsAreCappedAndCleanedUp) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  constexpr std::size_t kFlood = 2000;
  if (limit.rlim_max < kFlood + 600) GTEST_SKIP() << "descriptor limit too low for the flood";
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  DaemonOptions options;
  options.maxConnections = 300;
  StartDaemon(options);
  AddMouse("event3");
  AddMouse("event4");
  std::vector<std::unique_ptr<Client>> clients;
  for (std::size_t i = 0; i < kFlood; ++i) clients.push_back(Connect(i % 2 ? "event3" : "event4"));
  Pump();
  EXPECT_EQ(daemon_->ConnectionCount(), 300u);
  std::size_t refused = 0;
  for (auto& client : clients) {
    if (auto reply = client->Receive(); reply && reply->kind == kRefused) {
      EXPECT_EQ(reply->status, kIOReturnNoResources);
      ++refused;
    }
  }
  EXPECT_EQ(refused, kFlood - 300);
  clients.clear();
  Pump();
  EXPECT_EQ(daemon_->ConnectionCount(), 0u);
  auto late = Connect("event3");
  EXPECT_EQ(late->Open(), kIOReturnSuccess);
}

TEST_F(DaemonTest, OneUidHoldingItsShareShutsOutNeitherOtherUsersNorRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "connecting as other users needs root";
  constexpr unsigned kGreedy = 64001;
  constexpr unsigned kOther = 64002;
  policy_ = ListPeerPolicy({0, kGreedy, kOther});
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  DaemonOptions options;
  options.maxConnections = 20;
  options.maxConnectionsPerUid = 16;
  StartDaemon(options);
  AddMouse("event3");
  // The peer's credentials are taken at connect time: connect with another effective uid.
  auto connectAs = [&](unsigned uid) {
    EXPECT_EQ(seteuid(uid), 0);
    auto client = Connect("event3");
    EXPECT_EQ(seteuid(0), 0);
    return client;
  };

  std::vector<std::unique_ptr<Client>> greedy;
  for (int i = 0; i < 16; ++i) {
    greedy.push_back(connectAs(kGreedy));
    ASSERT_EQ(greedy.back()->Open(), kIOReturnSuccess) << i;
  }
  auto beyondShare = connectAs(kGreedy);
  EXPECT_EQ(beyondShare->Expect().status, kIOReturnNoResources);
  EXPECT_TRUE(beyondShare->Closed());

  std::vector<std::unique_ptr<Client>> rootClients;
  for (int i = 0; i < 4; ++i) {
    rootClients.push_back(connectAs(0));
    ASSERT_EQ(rootClients.back()->Open(), kIOReturnSuccess) << i;
  }
  EXPECT_EQ(daemon_->ConnectionCount(), 20u);

  // Full: a newcomer takes the place of the greedy uid's oldest idle connections.
  auto other = connectAs(kOther);
  EXPECT_EQ(other->Open(), kIOReturnSuccess);
  EXPECT_EQ(other->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
  auto lateRoot = connectAs(0);
  EXPECT_EQ(lateRoot->Open(), kIOReturnSuccess);
  EXPECT_EQ(lateRoot->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
  EXPECT_EQ(daemon_->ConnectionCount(), 20u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(greedy[i]->Expect().status, kIOReturnNoResources) << i;
    EXPECT_TRUE(greedy[i]->Closed()) << i;
  }
  EXPECT_EQ(greedy[2]->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
  EXPECT_EQ(rootClients[0]->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
}

TEST_F(DaemonTest, RunningOutOfDescriptorsHangsUpOnNewcomersWithoutSpinning) {
  StartDaemon();
  AddMouse("event3");
  auto served = Connect("event3");
  ASSERT_EQ(served->Open(), kIOReturnSuccess);
  // Allow only a few more descriptors than are open now.
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int highest = 0;
  for (int fd = 0; fd < 4096; ++fd) highest = fcntl(fd, F_GETFD) != -1 ? fd : highest;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest + 1 + 8);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  // Fill every free slot, then give back eight: six for the newcomers, two for the daemon.
  std::vector<int> filler;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  for (int i = 0; i < 8 && !filler.empty(); ++i) {
    close(filler.back());
    filler.pop_back();
  }
  std::vector<std::unique_ptr<Client>> newcomers;
  for (int i = 0; i < 6; ++i) newcomers.push_back(Connect("event3"));
  int turns = 0;
  while (turns < 1000 && sd_event_run(loop_, 0) > 0) ++turns;
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_LT(turns, 1000) << "the loop kept waking up";
  int hungUp = 0;
  for (auto& client : newcomers) hungUp += client->Closed() ? 1 : 0;
  EXPECT_GT(hungUp, 0);
  EXPECT_EQ(served->Call(0, {0, kKvID, 0}, 1), kIOReturnSuccess);
  newcomers.clear();
  Pump();
  auto later = Connect("event3");
  EXPECT_EQ(later->Open(), kIOReturnSuccess);
}

TEST_F(DaemonTest, AnUnpluggedMouseTerminatesItsClientsOnly) {
  StartDaemon();
  RecordingPointing* staying = AddMouse("event3");
  AddMouse("event4");
  auto a = Connect("event3");
  auto b = Connect("event4");
  auto idle = Connect("event4");
  ASSERT_EQ(a->Open(), kIOReturnSuccess);
  ASSERT_EQ(b->Open(), kIOReturnSuccess);
  // A call on its way while the mouse goes: it is never answered, the client learns why.
  b->Send(EncodeCall(3, 0, std::vector<std::uint64_t>{0, kKvSA, 9}, 1));
  daemon_->RemoveMouse("event4");
  Reply reply = b->Expect();
  EXPECT_EQ(reply.kind, kTerminated);
  EXPECT_EQ(static_cast<std::uint32_t>(reply.status), kIOMessageServiceIsTerminated);
  EXPECT_TRUE(b->Closed());
  EXPECT_EQ(idle->Expect().kind, kTerminated);
  EXPECT_FALSE(fs::exists(daemon_->SocketPath("event4")));
  EXPECT_EQ(daemon_->ConnectionCount(), 1u);
  EXPECT_EQ(a->Call(0, {0, kKvSA, 0x8000}, 1), kIOReturnSuccess);
  EXPECT_EQ(LastAcceleration(*staying), 0x8000);
}

TEST_F(DaemonTest, StoppingTheDaemonTerminatesEveryClientAndRemovesTheSockets) {
  StartDaemon();
  AddMouse("event3");
  auto client = Connect("event3");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  const std::string path = daemon_->SocketPath("event3");
  daemon_.reset();
  EXPECT_EQ(client->Expect().kind, kTerminated);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(DaemonTest, AMouseWithoutPointingServiceStillAnswers) {
  StartDaemon();
  ASSERT_EQ(daemon_->AddMouse({"event5", {kTesselVendorID, kTesselProductID, 1, 1}, 0, nullptr}), kIOReturnSuccess);
  auto client = Connect("event5");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  std::vector<std::uint64_t> out;
  EXPECT_EQ(client->Call(0, {0, kKvSA, 0x10000}, 1, &out), kIOReturnSuccess);
  EXPECT_EQ(out, (std::vector<std::uint64_t>{0}));
}

TEST_F(DaemonTest, PointerEventsFlowThroughTheLoopWithTheAccelerationSet) {
  StartDaemon();
  auto fake = std::make_unique<FakeInputDevice>(true);
  FakeInputDevice* device = fake.get();
  ASSERT_EQ(daemon_->AddMouse({"event6", {kTesselVendorID, kTesselProductID, 1, 1}, 0,
                               std::make_unique<TesselPointing>(std::move(fake))}),
            kIOReturnSuccess);
  device->Feed(MotionReport(1000, 3, 0));
  Pump();
  EXPECT_EQ(device->Written(), MotionReport(1000, 3, 0));

  auto client = Connect("event6");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  ASSERT_EQ(client->Call(0, {0, kKvSA, 0x20000}, 1), kIOReturnSuccess);
  device->ClearWritten();
  device->Feed(MotionReport(2000, 9, 0));  // 9 counts in 1 ms: gain 1 + 2 * 8/8 = 3
  Pump();
  EXPECT_EQ(device->Written(), MotionReport(2000, 27, 0));
}

TEST_F(DaemonTest, AGrabbedMouseThatVanishesIsRemovedWithItsClients) {
  StartDaemon();
  auto fake = std::make_unique<FakeInputDevice>(true);
  FakeInputDevice* device = fake.get();
  ASSERT_EQ(daemon_->AddMouse({"event6", {kTesselVendorID, kTesselProductID, 1, 1}, 0,
                               std::make_unique<TesselPointing>(std::move(fake))}),
            kIOReturnSuccess);
  auto client = Connect("event6");
  ASSERT_EQ(client->Open(), kIOReturnSuccess);
  device->Unplug();
  Pump();
  EXPECT_TRUE(daemon_->MouseNames().empty());
  EXPECT_EQ(client->Expect().kind, kTerminated);
  EXPECT_TRUE(client->Closed());
}

}  // namespace
}  // namespace korvid

namespace korvid {
namespace {

TEST(SessionPeerPolicy, ServesRootAndListedUsersAndRefusesUsersWithoutASession) {
  SessionPeerPolicy policy({4242});
  EXPECT_TRUE(policy.Allows({1, 0, 0}));
  EXPECT_TRUE(policy.Allows({1, 4242, 4242}));
  EXPECT_FALSE(policy.Allows({1, 3999999, 3999999}));  // nobody by that number is logged in
}

TEST(SessionPeerPolicy, OnlyAnActiveSessionAtThisMachineAdmitsAUser) {
  // Sessions by name: "<uid>-local" sit at the machine, "<uid>-remote" do not; those
  // ending in "-idle" are listed but no longer active.
  struct Directory final : SessionDirectory {
    std::vector<std::string> ActiveSessions(unsigned uid) override {
      switch (uid) {
        case 1001: return {"1001-remote"};
        case 1002: return {"1002-remote", "1002-local"};
        case 1003: return {"1003-local-idle"};
        case 1004: return {"1004-remote", "1004-local-idle"};
        default: return {};
      }
    }
    bool IsActive(const std::string& session) override { return !session.ends_with("-idle"); }
    bool IsRemote(const std::string& session) override { return session.find("-remote") != std::string::npos; }
  } directory;
  SessionPeerPolicy policy({}, &directory);
  for (const auto& [uid, admitted] : {std::pair{1001u, false}, {1002u, true}, {1003u, false}, {1004u, false},
                                      {1005u, false}, {0u, true}}) {
    EXPECT_EQ(policy.Allows({1, uid, uid}), admitted) << uid;
  }
}

}  // namespace
}  // namespace korvid
