// SPDX-License-Identifier: MIT
#include "driver/client/DriverClient.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvid {

using namespace driverproto;

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

IOReturn SendAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) return kIOReturnTimeout;
      continue;
    }
    if (n <= 0) return kIOReturnNoDevice;
    sent += static_cast<std::size_t>(n);
  }
  return kIOReturnSuccess;
}

}  // namespace

DriverConnection::~DriverConnection() {
  if (fd_ >= 0) close(fd_);
}

IOReturn DriverConnection::Open(const std::string& socketPath, std::uint32_t type,
                                std::unique_ptr<DriverConnection>& out, int timeoutMs) {
  out.reset();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return kIOReturnBadArgument;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kIOReturnNoResources;
  std::unique_ptr<DriverConnection> connection(new DriverConnection(fd));
  // While the daemon's backlog is full, connect waits for room, at most the timeout.
  const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    if (errno == EAGAIN || errno == EINPROGRESS) return kIOReturnTimeout;
    return errno == EACCES || errno == EPERM ? kIOReturnNotPrivileged : kIOReturnNotFound;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  Reply reply;
  const std::uint32_t serial = ++connection->serial_;
  IOReturn status = connection->Exchange(EncodeOpen(serial, type), serial, reply, timeoutMs);
  if (status != kIOReturnSuccess) return status;
  if (reply.status != kIOReturnSuccess) return reply.status;
  out = std::move(connection);
  return kIOReturnSuccess;
}

IOReturn DriverConnection::CallScalarMethod(std::uint32_t selector, std::span<const std::uint64_t> inputs,
                                            std::span<std::uint64_t> outputs, int timeoutMs) {
  if (inputs.size() > kMaxScalars || outputs.size() > kMaxScalars) return kIOReturnBadArgument;
  Reply reply;
  const std::uint32_t serial = ++serial_;
  IOReturn status = Exchange(EncodeCall(serial, selector, inputs, static_cast<std::uint32_t>(outputs.size())), serial,
                             reply, timeoutMs);
  if (status != kIOReturnSuccess) return status;
  // The outputs are what the method wrote, also when it failed (zeros if it never ran).
  if (reply.outputs.size() == outputs.size()) std::copy(reply.outputs.begin(), reply.outputs.end(), outputs.begin());
  return reply.status;
}

IOReturn DriverConnection::Close(int timeoutMs) {
  if (fd_ < 0) return kIOReturnNotOpen;
  IOReturn status = kIOReturnSuccess;
  if (!terminated_) {
    Reply reply;
    const std::uint32_t serial = ++serial_;
    status = Exchange(EncodeClose(serial), serial, reply, timeoutMs);
    if (status == kIOReturnSuccess) status = reply.status;
  }
  close(fd_);
  fd_ = -1;
  terminated_ = true;
  return status;
}

bool DriverConnection::CheckTerminated() {
  while (!terminated_) {
    Reply reply;
    if (ReadFrame(reply, -1) != kIOReturnSuccess) break;  // nothing more waiting
  }
  return terminated_;
}

IOReturn DriverConnection::Exchange(const std::vector<std::uint8_t>& request, std::uint32_t serial, Reply& reply,
                                    int timeoutMs) {
  if (terminated_ || fd_ < 0) return kIOReturnNoDevice;
  const long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
  IOReturn status = SendAll(fd_, request);
  if (status != kIOReturnSuccess) {
    // The daemon may have said why before it hung up.
    CheckTerminated();
    terminated_ = true;
    return status;
  }
  for (;;) {
    status = ReadFrame(reply, deadline);
    if (status != kIOReturnSuccess) return status;
    if (reply.kind == kRefused) return reply.status;
    if (reply.kind == kTerminated) return kIOReturnNoDevice;
    // A late answer to an earlier call that timed out is skipped.
    if (reply.serial == serial && reply.kind == (request[4] | kReply)) return kIOReturnSuccess;
  }
}

IOReturn DriverConnection::ReadFrame(Reply& reply, long long deadlineMs) {
  std::vector<std::uint8_t> frame;
  for (;;) {
    switch (reader_.Next(frame)) {
      case FrameReader::Result::kFrame:
        if (DecodeReply(frame, reply) != kIOReturnSuccess) {
          terminated_ = true;
          return kIOReturnBadArgument;
        }
        if (reply.kind == kTerminated || reply.kind == kRefused) terminated_ = true;
        return kIOReturnSuccess;
      case FrameReader::Result::kGarbled:
        terminated_ = true;
        return kIOReturnBadArgument;
      case FrameReader::Result::kNeedMore:
        break;
    }
    if (terminated_) return kIOReturnNoDevice;
    std::uint8_t buffer[kMaxFrameSize];
    ssize_t n = recv(fd_, buffer, reader_.Room(), 0);
    if (n > 0) {
      reader_.Feed({buffer, static_cast<std::size_t>(n)});
      continue;
    }
    if (n == 0) {
      terminated_ = true;
      return kIOReturnNoDevice;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      terminated_ = true;
      return kIOReturnNoDevice;
    }
    if (deadlineMs < 0) return kIOReturnNotReady;
    const long long left = deadlineMs - NowMs();
    if (left <= 0) return kIOReturnTimeout;
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left));
  }
}

std::vector<std::string> ListDriverSockets(const std::string& runtimeDir) {
  std::vector<std::string> paths;
  DIR* dir = opendir(runtimeDir.c_str());
  if (dir == nullptr) return paths;
  while (dirent* entry = readdir(dir)) {
    if (IsDriverSocketName(entry->d_name)) paths.push_back(runtimeDir + "/" + entry->d_name);
  }
  closedir(dir);
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace korvid
