// SPDX-License-Identifier: MIT
// The driver daemon's core: one KorvidTessel per attached mouse, each published as a Unix
// stream socket whose connections are user clients (protocol in driver/client/
// DriverProtocol.h). Everything runs on one sd-event loop.
#pragma once

#include <systemd/sd-event.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/IOKitStandIns.h"
#include "driver/KorvidTessel.h"
#include "driver/client/DriverProtocol.h"
#include "driver/daemon/PeerPolicy.h"

namespace korvid {

struct EventSourceDeleter {
  void operator()(sd_event_source* source) const { sd_event_source_disable_unref(source); }
};
using EventSource = std::unique_ptr<sd_event_source, EventSourceDeleter>;

struct DaemonOptions {
  std::string runtimeDir = driverproto::kDefaultRuntimeDir;
  // A frame must arrive whole, a new connection must open a user client, and a peer must
  // take some of a reply waiting for it, within this. While a reply waits, the peer's
  // further requests are left unread (they wait in its socket), however many it sends.
  std::uint64_t frameTimeoutUs = 5'000'000;
  // Connections served at once, over all mice. A newcomer beyond it takes the place of the
  // oldest idle connection of the uid that holds the most (that one is refused with
  // kIOReturnNoResources); the newcomer is refused only when that uid has none idle.
  std::size_t maxConnections = 256;
  // Connections one uid may hold at once, over all mice; more are refused with
  // kIOReturnNoResources. Root is held only to maxConnections.
  std::size_t maxConnectionsPerUid = 16;
};

// Everything the daemon needs to know about one attached mouse.
struct MouseSpec {
  std::string name;  // unique; the socket is "KorvidTessel-<name>.sock"
  IOUSBDevice::Identity identity;
  std::uint8_t interfaceNumber = 0;
  std::unique_ptr<IOHIPointing> pointing;  // null: the mouse has no pointing service (yet)
};

class DriverDaemon {
 public:
  DriverDaemon(sd_event* loop, DaemonOptions options, PeerPolicy& policy);
  ~DriverDaemon();
  DriverDaemon(const DriverDaemon&) = delete;
  DriverDaemon& operator=(const DriverDaemon&) = delete;

  // Makes the runtime folder and removes driver sockets a previous run left behind.
  // Failures give their status and, when `message` is given, a one-line reason there.
  IOReturn Start(std::string* message = nullptr);

  // Starts a driver on the mouse and publishes its socket. kIOReturnNoDevice when the
  // driver does not start on it, kIOReturnExclusiveAccess when the name is taken.
  IOReturn AddMouse(MouseSpec spec, std::string* message = nullptr);
  // The mouse went away: its clients get the termination message and are disconnected,
  // its socket is removed, its driver and pointing service are destroyed.
  void RemoveMouse(const std::string& name);
  void RemoveAllMice();

  std::string SocketPath(const std::string& name) const;
  std::vector<std::string> MouseNames() const;
  std::size_t ConnectionCount() const { return connectionCount_; }
  std::size_t UserClientCount(const std::string& name) const;
  KorvidTessel* Driver(const std::string& name) const;
  IOHIPointing* Pointing(const std::string& name) const;

 private:
  struct Mouse;
  struct Connection;

  Mouse* Find(const std::string& name) const;
  // AddMouse's steps: the mouse's socket, listening under its final name; then the loop's
  // watch on that socket and on the mouse's pointer.
  IOReturn Publish(Mouse& mouse, std::string* message);
  IOReturn Watch(Mouse& mouse, std::string* message);
  static int OnAccept(sd_event_source* source, int fd, std::uint32_t revents, void* userdata);
  static int OnClientEvent(sd_event_source* source, int fd, std::uint32_t revents, void* userdata);
  static int OnClientTimeout(sd_event_source* source, std::uint64_t usec, void* userdata);
  static int OnPointerReadable(sd_event_source* source, int fd, std::uint32_t revents, void* userdata);

  void Accept(Mouse& mouse);
  std::size_t ConnectionsOf(unsigned uid) const;
  // Makes room for `newcomer` when the daemon holds more than maxConnections: drops the
  // oldest idle connection of the uid that holds the most. False when there is none.
  bool MakeRoomFor(const Connection& newcomer);
  // Reads and handles requests until a reply cannot be sent at once; returns false when
  // the connection was dropped.
  bool ReadFrom(Connection& connection);
  // Handles the whole requests already read while no reply waits; false when dropped.
  bool HandleBuffered(Connection& connection);
  bool Handle(Connection& connection, const std::vector<std::uint8_t>& frame);
  // Queues `bytes` behind the unsent ones and sends what the socket takes now. False
  // when the peer is gone (the caller drops the connection).
  bool Send(Connection& connection, const std::vector<std::uint8_t>& bytes);
  bool SendPending(Connection& connection);
  // Watches for requests, or, while a reply waits, only for room to send it; arms the
  // timeout accordingly.
  void Watch(Connection& connection);
  void UpdateTimer(Connection& connection);
  // Refuses with `status` (kRefused message) and drops the connection.
  void Refuse(Connection& connection, IOReturn status);
  void Drop(Connection& connection);

  sd_event* loop_;
  DaemonOptions options_;
  PeerPolicy& policy_;
  std::vector<std::unique_ptr<Mouse>> mice_;
  std::size_t connectionCount_ = 0;
  std::uint64_t acceptedCount_ = 0;  // numbers connections in the order they came
  int spareFd_ = -1;  // kept free for hanging up on peers when descriptors run out
};

}  // namespace korvid
