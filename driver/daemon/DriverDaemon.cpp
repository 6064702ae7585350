// SPDX-License-Identifier: MIT
#include "driver/daemon/DriverDaemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "driver/TesselPointing.h"

namespace korvid {

using namespace driverproto;

namespace {

// Work done per wake-up of one socket, so one busy peer cannot starve the others.
constexpr int kAcceptsPerWakeup = 64;
constexpr int kReadsPerWakeup = 16;
constexpr std::size_t kMaxNameLength = 64;

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
  });
}

}  // namespace

struct DriverDaemon::Connection {
  Mouse* mouse = nullptr;
  int fd = -1;
  std::uint64_t order = 0;  // smaller: accepted earlier
  PeerCredentials peer;
  EventSource io;
  EventSource timer;
  bool timerArmed = false;
  FrameReader reader;
  // Reply bytes the peer has not taken yet. While there are any, nothing more is read
  // from the peer, so they never grow beyond one reply (and a refusal).
  std::vector<std::uint8_t> outgoing;
  std::unique_ptr<IOUserClient> client;

  ~Connection() {
    io.reset();
    timer.reset();
    if (fd >= 0) close(fd);
  }
};

struct DriverDaemon::Mouse {
  DriverDaemon* daemon = nullptr;
  std::string name;
  std::string socketPath;
  std::unique_ptr<IOUSBDevice> device;
  std::unique_ptr<IOUSBInterface> interface;
  std::unique_ptr<KorvidTessel> driver;  // holds the mouse's pointing service
  int listenFd = -1;
  EventSource listen;
  EventSource pointer;
  std::vector<std::unique_ptr<Connection>> connections;

  ~Mouse() {
    connections.clear();
    listen.reset();
    pointer.reset();
    if (listenFd >= 0) {
      close(listenFd);
      unlink(socketPath.c_str());
    }
    if (driver) driver->stop(interface.get());
  }
};

DriverDaemon::DriverDaemon(sd_event* loop, DaemonOptions options, PeerPolicy& policy)
    : loop_(loop), options_(std::move(options)), policy_(policy) {
  spareFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

DriverDaemon::~DriverDaemon() {
  RemoveAllMice();
  if (spareFd_ >= 0) close(spareFd_);
}

IOReturn DriverDaemon::Start(std::string* message) {
  if (mkdir(options_.runtimeDir.c_str(), 0755) < 0 && errno != EEXIST) {
    return Failure(kIOReturnNotPermitted, message, "cannot make " + options_.runtimeDir + ": " + std::strerror(errno));
  }
  DIR* dir = opendir(options_.runtimeDir.c_str());
  if (dir == nullptr) {
    return Failure(kIOReturnNotPermitted, message, "cannot read " + options_.runtimeDir + ": " + std::strerror(errno));
  }
  // Sockets of a run that ended without cleaning up lead nowhere.
  while (dirent* entry = readdir(dir)) {
    if (IsDriverSocketName(entry->d_name)) unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
  return kIOReturnSuccess;
}

std::string DriverDaemon::SocketPath(const std::string& name) const {
  return options_.runtimeDir + "/" + kSocketPrefix + name + kSocketSuffix;
}

DriverDaemon::Mouse* DriverDaemon::Find(const std::string& name) const {
  for (const auto& mouse : mice_) {
    if (mouse->name == name) return mouse.get();
  }
  return nullptr;
}

std::vector<std::string> DriverDaemon::MouseNames() const {
  std::vector<std::string> names;
  for (const auto& mouse : mice_) names.push_back(mouse->name);
  return names;
}

std::size_t DriverDaemon::UserClientCount(const std::string& name) const {
  Mouse* mouse = Find(name);
  if (mouse == nullptr) return 0;
  return static_cast<std::size_t>(std::count_if(mouse->driver->children().begin(), mouse->driver->children().end(),
                                                [](IORegistryEntry* e) { return dynamic_cast<IOUserClient*>(e); }));
}

KorvidTessel* DriverDaemon::Driver(const std::string& name) const {
  Mouse* mouse = Find(name);
  return mouse != nullptr ? mouse->driver.get() : nullptr;
}

IOHIPointing* DriverDaemon::Pointing(const std::string& name) const {
  Mouse* mouse = Find(name);
  return mouse != nullptr ? mouse->driver->Pointing() : nullptr;
}

IOReturn DriverDaemon::AddMouse(MouseSpec spec, std::string* message) {
  if (!ValidName(spec.name)) {
    return Failure(kIOReturnBadArgument, message, "unusable mouse name \"" + spec.name + "\"");
  }
  if (Find(spec.name) != nullptr) {
    return Failure(kIOReturnExclusiveAccess, message, "a mouse named " + spec.name + " is already attached");
  }
  auto mouse = std::make_unique<Mouse>();
  mouse->daemon = this;
  mouse->name = spec.name;
  mouse->socketPath = SocketPath(spec.name);
  mouse->device = std::make_unique<IOUSBDevice>(spec.identity);
  mouse->interface = std::make_unique<IOUSBInterface>(mouse->device.get(), spec.interfaceNumber);
  mouse->interface->attach(mouse->device.get());
  mouse->driver = std::make_unique<KorvidTessel>();
  if (!mouse->driver->attach(mouse->interface.get()) || !mouse->driver->start(mouse->interface.get())) {
    return Failure(kIOReturnNoDevice, message, "the driver does not start on " + spec.name);
  }
  mouse->driver->AttachPointing(std::move(spec.pointing));
  if (const IOReturn published = Publish(*mouse, message); published != kIOReturnSuccess) return published;
  if (const IOReturn watched = Watch(*mouse, message); watched != kIOReturnSuccess) return watched;
  mice_.push_back(std::move(mouse));
  return kIOReturnSuccess;
}

IOReturn DriverDaemon::Publish(Mouse& mouse, std::string* message) {
  // The socket is made under a hidden name and renamed once it listens, so whoever sees
  // it appear can connect at once.
  const std::string hiddenPath = options_.runtimeDir + "/." + kSocketPrefix + mouse.name + ".new";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (hiddenPath.size() >= sizeof address.sun_path) {
    return Failure(kIOReturnBadArgument, message, "socket path too long: " + hiddenPath);
  }
  std::memcpy(address.sun_path, hiddenPath.c_str(), hiddenPath.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return Failure(kIOReturnNoResources, message, std::string("cannot make a socket: ") + std::strerror(errno));
  }
  unlink(hiddenPath.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || chmod(hiddenPath.c_str(), 0666) < 0 ||
      listen(fd, 64) < 0 || rename(hiddenPath.c_str(), mouse.socketPath.c_str()) < 0) {
    const int error = errno;
    unlink(hiddenPath.c_str());
    close(fd);
    return Failure(kIOReturnNotPermitted, message, "cannot publish " + mouse.socketPath + ": " + std::strerror(error));
  }
  mouse.listenFd = fd;
  return kIOReturnSuccess;
}

IOReturn DriverDaemon::Watch(Mouse& mouse, std::string* message) {
  sd_event_source* source = nullptr;
  if (sd_event_add_io(loop_, &source, mouse.listenFd, EPOLLIN, &DriverDaemon::OnAccept, &mouse) < 0) {
    return Failure(kIOReturnNoResources, message, "cannot watch " + mouse.socketPath);
  }
  mouse.listen.reset(source);
  auto* tessel = dynamic_cast<TesselPointing*>(mouse.driver->Pointing());
  if (tessel != nullptr && tessel->PollFd() >= 0) {
    source = nullptr;
    if (sd_event_add_io(loop_, &source, tessel->PollFd(), EPOLLIN, &DriverDaemon::OnPointerReadable, &mouse) < 0) {
      return Failure(kIOReturnNoResources, message, "cannot watch the pointer of " + mouse.name);
    }
    // Mouse events go before socket traffic.
    sd_event_source_set_priority(source, SD_EVENT_PRIORITY_IMPORTANT);
    mouse.pointer.reset(source);
  }
  return kIOReturnSuccess;
}

void DriverDaemon::RemoveMouse(const std::string& name) {
  auto it = std::find_if(mice_.begin(), mice_.end(), [&](const auto& m) { return m->name == name; });
  if (it == mice_.end()) return;
  std::unique_ptr<Mouse> mouse = std::move(*it);
  mice_.erase(it);
  // The socket goes first, so a client told of the termination never finds it again.
  mouse->listen.reset();
  if (mouse->listenFd >= 0) {
    unlink(mouse->socketPath.c_str());
    close(mouse->listenFd);
    mouse->listenFd = -1;
  }
  const auto message = EncodeReply(kTerminated, 0, static_cast<std::int32_t>(kIOMessageServiceIsTerminated));
  for (auto& connection : mouse->connections) {
    // After what the peer has not read yet, as far as it goes now.
    connection->outgoing.insert(connection->outgoing.end(), message.begin(), message.end());
    (void)SendPending(*connection);
    if (connection->client) connection->client->clientDied();
    connection->client.reset();
  }
  connectionCount_ -= mouse->connections.size();
  // Destroying the mouse closes its connections, removes its socket and releases the pointer.
}

void DriverDaemon::RemoveAllMice() {
  while (!mice_.empty()) RemoveMouse(mice_.back()->name);
}

int DriverDaemon::OnAccept(sd_event_source*, int, std::uint32_t, void* userdata) {
  auto* mouse = static_cast<Mouse*>(userdata);
  mouse->daemon->Accept(*mouse);
  return 0;
}

void DriverDaemon::Accept(Mouse& mouse) {
  for (int i = 0; i < kAcceptsPerWakeup; ++i) {
    const int fd = accept4(mouse.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && spareFd_ >= 0) {
      // Out of descriptors: the waiting connection would wake the loop forever. Take it
      // with the spare descriptor and hang up on it.
      close(spareFd_);
      const int refused = accept4(mouse.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (refused >= 0) close(refused);
      spareFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
      continue;
    }
    if (fd < 0) return;  // nothing more waiting
    auto owned = std::make_unique<Connection>();
    Connection& connection = *owned;
    connection.mouse = &mouse;
    connection.fd = fd;
    connection.order = ++acceptedCount_;
    mouse.connections.push_back(std::move(owned));
    ++connectionCount_;

    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) {
      Refuse(connection, kIOReturnNotPrivileged);
      continue;
    }
    connection.peer = {credentials.pid, credentials.uid, credentials.gid};
    // Only a permitted peer counts against a share or may take another's place.
    if (!policy_.Allows(connection.peer)) {
      Refuse(connection, kIOReturnNotPrivileged);
      continue;
    }
    const bool overShare =
        connection.peer.uid != 0 && ConnectionsOf(connection.peer.uid) > options_.maxConnectionsPerUid;
    if (overShare || (connectionCount_ > options_.maxConnections && !MakeRoomFor(connection))) {
      Refuse(connection, kIOReturnNoResources);
      continue;
    }
    sd_event_source* source = nullptr;
    if (sd_event_add_io(loop_, &source, fd, EPOLLIN, &DriverDaemon::OnClientEvent, &connection) < 0) {
      Refuse(connection, kIOReturnNoResources);
      continue;
    }
    connection.io.reset(source);
    UpdateTimer(connection);
  }
}

std::size_t DriverDaemon::ConnectionsOf(unsigned uid) const {
  std::size_t count = 0;
  for (const auto& mouse : mice_) {
    for (const auto& connection : mouse->connections) count += connection->peer.uid == uid ? 1 : 0;
  }
  return count;
}

bool DriverDaemon::MakeRoomFor(const Connection& newcomer) {
  std::map<unsigned, std::size_t> held;
  for (const auto& mouse : mice_) {
    for (const auto& connection : mouse->connections) {
      if (connection.get() != &newcomer) ++held[connection->peer.uid];
    }
  }
  const auto most = std::max_element(held.begin(), held.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  if (most == held.end()) return false;
  // Idle: no frame half received and no reply half sent, so nothing is cut off.
  Connection* oldest = nullptr;
  for (const auto& mouse : mice_) {
    for (const auto& connection : mouse->connections) {
      if (connection.get() == &newcomer || connection->peer.uid != most->first) continue;
      if (connection->reader.Buffered() != 0 || !connection->outgoing.empty()) continue;
      if (oldest == nullptr || connection->order < oldest->order) oldest = connection.get();
    }
  }
  if (oldest == nullptr) return false;
  Refuse(*oldest, kIOReturnNoResources);
  return true;
}

int DriverDaemon::OnClientEvent(sd_event_source*, int, std::uint32_t, void* userdata) {
  auto* connection = static_cast<Connection*>(userdata);
  DriverDaemon& daemon = *connection->mouse->daemon;
  if (!connection->outgoing.empty()) {
    // Writable again: the rest of the reply goes first, then the requests wait their turn.
    if (!daemon.SendPending(*connection)) {
      daemon.Drop(*connection);
      return 0;
    }
    if (!connection->outgoing.empty()) {
      daemon.Watch(*connection);
      return 0;
    }
  }
  daemon.ReadFrom(*connection);
  return 0;
}

int DriverDaemon::OnClientTimeout(sd_event_source*, std::uint64_t, void* userdata) {
  auto* connection = static_cast<Connection*>(userdata);
  connection->timerArmed = false;
  connection->mouse->daemon->Refuse(*connection, kIOReturnTimeout);
  return 0;
}

int DriverDaemon::OnPointerReadable(sd_event_source*, int, std::uint32_t, void* userdata) {
  auto* mouse = static_cast<Mouse*>(userdata);
  auto* pointing = static_cast<TesselPointing*>(mouse->driver->Pointing());
  if (pointing->Pump() == kIOReturnNoDevice) mouse->daemon->RemoveMouse(mouse->name);
  return 0;
}

bool DriverDaemon::ReadFrom(Connection& connection) {
  if (!HandleBuffered(connection)) return false;
  std::uint8_t buffer[kMaxFrameSize];
  // Backpressure: a peer that does not take its replies is not read from.
  for (int i = 0; i < kReadsPerWakeup && connection.outgoing.empty(); ++i) {
    const ssize_t n = recv(connection.fd, buffer, connection.reader.Room(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {  // the peer closed or died, maybe in the middle of a frame
      Drop(connection);
      return false;
    }
    connection.reader.Feed({buffer, static_cast<std::size_t>(n)});
    if (!HandleBuffered(connection)) return false;
  }
  Watch(connection);
  return true;
}

bool DriverDaemon::HandleBuffered(Connection& connection) {
  std::vector<std::uint8_t> frame;
  while (connection.outgoing.empty()) {
    const FrameReader::Result result = connection.reader.Next(frame);
    if (result == FrameReader::Result::kNeedMore) break;
    if (result == FrameReader::Result::kGarbled) {
      Refuse(connection, kIOReturnBadArgument);
      return false;
    }
    if (!Handle(connection, frame)) return false;
  }
  return true;
}

bool DriverDaemon::Handle(Connection& connection, const std::vector<std::uint8_t>& frame) {
  Request request;
  const IOReturn decoded = DecodeRequest(frame, request);
  if (request.kind != kOpen && request.kind != kCall && request.kind != kClose) {
    Refuse(connection, kIOReturnBadArgument);  // not a request of this protocol
    return false;
  }
  const std::uint32_t replyKind = request.kind | kReply;
  if (decoded != kIOReturnSuccess) {
    if (Send(connection, EncodeReply(replyKind, request.serial, kIOReturnBadArgument))) return true;
    Drop(connection);
    return false;
  }

  IOReturn status = kIOReturnSuccess;
  std::vector<std::uint64_t> outputs;
  switch (request.kind) {
    case kOpen:
      if (connection.client) {
        status = kIOReturnExclusiveAccess;
      } else {
        std::unique_ptr<IOUserClient> client;
        const OwningTask task{connection.peer.pid, connection.peer.uid};
        status = connection.mouse->driver->newUserClient(task, nullptr, request.type, client);
        if (status == kIOReturnSuccess && client) connection.client = std::move(client);
      }
      break;
    case kCall:
      outputs.assign(request.outputCount, 0);
      status = connection.client ? CallScalarMethod(*connection.client, request.selector, request.inputs, outputs)
                                 : kIOReturnNotOpen;
      break;
    case kClose: {
      status = connection.client ? connection.client->clientClose() : kIOReturnNotOpen;
      connection.client.reset();
      (void)Send(connection, EncodeReply(replyKind, request.serial, status));
      Drop(connection);
      return false;
    }
  }
  if (Send(connection, EncodeReply(replyKind, request.serial, status, outputs))) return true;
  Drop(connection);
  return false;
}

bool DriverDaemon::Send(Connection& connection, const std::vector<std::uint8_t>& bytes) {
  connection.outgoing.insert(connection.outgoing.end(), bytes.begin(), bytes.end());
  return SendPending(connection);
}

bool DriverDaemon::SendPending(Connection& connection) {
  std::size_t sent = 0;
  while (sent < connection.outgoing.size()) {
    const ssize_t n = send(connection.fd, connection.outgoing.data() + sent, connection.outgoing.size() - sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0) return false;  // the peer is gone
    sent += static_cast<std::size_t>(n);
  }
  connection.outgoing.erase(connection.outgoing.begin(), connection.outgoing.begin() + static_cast<std::ptrdiff_t>(sent));
  // A peer that takes its replies, however slowly, has the whole timeout again.
  if (sent > 0 && !connection.outgoing.empty() && connection.timerArmed) {
    sd_event_source_set_enabled(connection.timer.get(), SD_EVENT_OFF);
    connection.timerArmed = false;
  }
  return true;
}

void DriverDaemon::Watch(Connection& connection) {
  if (connection.io) {
    sd_event_source_set_io_events(connection.io.get(), connection.outgoing.empty() ? EPOLLIN : EPOLLOUT);
  }
  UpdateTimer(connection);
}

void DriverDaemon::UpdateTimer(Connection& connection) {
  // A frame half received, no user client yet, or a reply the peer does not take.
  const bool waiting = connection.reader.Buffered() > 0 || !connection.client || !connection.outgoing.empty();
  if (waiting && !connection.timerArmed) {
    if (!connection.timer) {
      sd_event_source* source = nullptr;
      if (sd_event_add_time_relative(loop_, &source, CLOCK_MONOTONIC, options_.frameTimeoutUs, 0,
                                     &DriverDaemon::OnClientTimeout, &connection) < 0) {
        return;
      }
      connection.timer.reset(source);
    } else {
      sd_event_source_set_time_relative(connection.timer.get(), options_.frameTimeoutUs);
      sd_event_source_set_enabled(connection.timer.get(), SD_EVENT_ONESHOT);
    }
    connection.timerArmed = true;
  } else if (!waiting && connection.timerArmed) {
    sd_event_source_set_enabled(connection.timer.get(), SD_EVENT_OFF);
    connection.timerArmed = false;
  }
}

void DriverDaemon::Refuse(Connection& connection, IOReturn status) {
  (void)Send(connection, EncodeReply(kRefused, 0, status));
  Drop(connection);
}

void DriverDaemon::Drop(Connection& connection) {
  if (connection.client) connection.client->clientDied();
  connection.client.reset();
  Mouse& mouse = *connection.mouse;
  auto it = std::find_if(mouse.connections.begin(), mouse.connections.end(),
                         [&](const auto& c) { return c.get() == &connection; });
  if (it == mouse.connections.end()) return;
  mouse.connections.erase(it);
  --connectionCount_;
}

}  // namespace korvid
