// SPDX-License-Identifier: MIT
// Client side of the driver daemon's sockets (frame layout in DriverProtocol.h): open a
// driver's user client, call its scalar method, notice when the driver goes away.
//
//     std::unique_ptr<DriverConnection> connection;
//     IOReturn status = DriverConnection::Open(socketPath, kKvdU, connection);
//     std::uint64_t in[3] = {handle, kKvSA, 0x10000}, out[1];
//     status = connection->CallScalarMethod(0, in, out);
//     connection->Close();
//
// Every wait is bounded by the timeout given (milliseconds). Not thread-safe; one
// connection belongs to one thread, as everything in the system.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/client/DriverProtocol.h"

namespace korvid {

// Paths of the driver sockets in `runtimeDir` now, sorted; empty when there are none.
std::vector<std::string> ListDriverSockets(const std::string& runtimeDir = driverproto::kDefaultRuntimeDir);

class DriverConnection {
 public:
  static constexpr int kDefaultTimeoutMs = 2000;

  ~DriverConnection();
  DriverConnection(const DriverConnection&) = delete;
  DriverConnection& operator=(const DriverConnection&) = delete;

  // Connects to the driver socket at `socketPath` and opens a user client of `type`.
  // kIOReturnNotFound: no such driver; kIOReturnNotPrivileged: refused; the driver's
  // status when it declines the type; kIOReturnTimeout: no answer in time.
  static IOReturn Open(const std::string& socketPath, std::uint32_t type, std::unique_ptr<DriverConnection>& out,
                       int timeoutMs = kDefaultTimeoutMs);

  // Calls scalar method `selector` with `inputs`, expecting outputs.size() outputs.
  // The driver's status is returned. Whenever the driver answered, `outputs` holds what
  // the method wrote (zeros where it wrote nothing), also on failure.
  // kIOReturnNoDevice once the driver has gone away.
  IOReturn CallScalarMethod(std::uint32_t selector, std::span<const std::uint64_t> inputs,
                            std::span<std::uint64_t> outputs, int timeoutMs = kDefaultTimeoutMs);

  // Closes the user client (waiting for the driver's answer) and the connection.
  IOReturn Close(int timeoutMs = kDefaultTimeoutMs);

  // Descriptor to watch (readable means: a message or the end of the connection).
  int Fd() const { return fd_; }
  // Without waiting, reads what the daemon sent on its own; true once the driver has
  // terminated (termination message or closed connection).
  bool CheckTerminated();
  bool Terminated() const { return terminated_; }

 private:
  explicit DriverConnection(int fd) : fd_(fd) {}
  IOReturn Exchange(const std::vector<std::uint8_t>& request, std::uint32_t serial, driverproto::Reply& reply,
                    int timeoutMs);
  // Reads one whole frame, waiting at most until `deadline` (monotonic ms; -1: no wait).
  IOReturn ReadFrame(driverproto::Reply& reply, long long deadlineMs);

  int fd_ = -1;
  std::uint32_t serial_ = 0;
  bool terminated_ = false;
  driverproto::FrameReader reader_;
};

}  // namespace korvid
