// SPDX-License-Identifier: MIT
// The Tessel drivers as the helper sees them: services that appear and vanish, user-client
// connections opened on them, the scalar method, and the interest notification that says
// a driver has gone away.
//
// Everything arrives on the main loop. A connection is a small nonzero handle; a
// notification is a nonzero handle that stops its messages when released.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/Status.h"

namespace korvid {

using io_connect_t = std::uint32_t;
using io_object_t = std::uint32_t;

class DriverWatcher {
 public:
  // A driver service, named by the watcher.
  using ServiceHandler = std::function<void(const std::string& service)>;
  // A message about the driver behind a connection (kIOMessageServiceIsTerminated).
  using MessageHandler = std::function<void(std::uint32_t message)>;

  virtual ~DriverWatcher() = default;

  // Starts watching: `matched` hears of every driver present now (before Start returns)
  // and of every driver that appears later, once each; `terminated` hears of drivers that
  // vanish. kIOReturnError (or another failure) when the drivers cannot be watched.
  virtual IOReturn Start(ServiceHandler matched, ServiceHandler terminated) = 0;
  // Stops watching for drivers and stops every interest notification. Open connections
  // stay open.
  virtual void Stop() = 0;

  // Opens a user client of `type` on a driver. The handle is nonzero on success.
  virtual IOReturn Open(const std::string& service, std::uint32_t type, io_connect_t& connection) = 0;
  // Asks for messages about the driver behind `connection`: once it goes away (its
  // connection closes or its service vanishes) `handler` receives
  // kIOMessageServiceIsTerminated, on the main loop, never from inside this call.
  virtual IOReturn AddInterestNotification(io_connect_t connection, MessageHandler handler,
                                           io_object_t& notification) = 0;
  // Stops a notification's messages; may be called from inside its handler.
  virtual IOReturn ReleaseNotification(io_object_t notification) = 0;
  // Calls scalar method `selector`. Outputs hold what the method wrote (zeros otherwise).
  // A driver that does not answer within the watcher's call timeout gives
  // kIOReturnTimeout; one that has gone away gives kIOReturnNoDevice.
  virtual IOReturn CallScalarMethod(io_connect_t connection, std::uint32_t selector,
                                    std::span<const std::uint64_t> inputs,
                                    std::span<std::uint64_t> outputs) = 0;
  // Closes the user client and forgets the handle.
  virtual IOReturn Close(io_connect_t connection) = 0;
};

}  // namespace korvid
