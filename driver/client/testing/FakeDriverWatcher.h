// SPDX-License-Identifier: MIT
// An in-memory DriverWatcher for tests. Drivers are added and removed by the test; each
// answers the scalar method as a Tessel driver does (KvID: identity, KvSA: recorded,
// anything else kIOReturnBadArgument) unless the test gives it other behaviour.
// Termination messages are queued, as the main loop would deliver them later, until the
// test calls DeliverMessages().
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "driver/client/DriverWatcher.h"

namespace korvid {

class FakeDriverWatcher final : public DriverWatcher {
 public:
  struct Call {
    std::string service;
    io_connect_t connection = 0;
    std::uint32_t selector = 0;
    std::vector<std::uint64_t> inputs;
    std::size_t outputCount = 0;
  };
  using Behaviour = std::function<IOReturn(std::span<const std::uint64_t> inputs, std::span<std::uint64_t> outputs)>;

  // A driver appears (reported at once if watching).
  void AddDriver(const std::string& service, std::uint32_t identity = 0x3A7C0D51u);
  // A driver vanishes: reported to `terminated`, and its connections' notifications get
  // the termination message at the next DeliverMessages().
  void RemoveDriver(const std::string& service);
  void SetBehaviour(const std::string& service, Behaviour behaviour) { drivers_[service].behaviour = std::move(behaviour); }
  void FailOpen(const std::string& service, IOReturn status) { drivers_[service].openStatus = status; }
  void FailInterest(IOReturn status) { interestStatus_ = status; }
  // Runs at every call, before the driver answers (a test can change the world here).
  void OnCall(std::function<void(const Call&)> hook) { onCall_ = std::move(hook); }

  // Delivers queued messages; returns how many.
  std::size_t DeliverMessages();

  bool Watching() const { return watching_; }
  std::size_t StartCount() const { return starts_; }
  const std::vector<Call>& Calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  // Acceleration values a driver was given through KvSA, in order.
  const std::vector<std::int32_t>& Accelerations(const std::string& service) { return drivers_[service].accelerations; }
  std::size_t OpenConnections() const { return connections_.size(); }
  std::size_t ActiveNotifications() const { return interests_.size(); }
  const std::vector<io_connect_t>& Closed() const { return closed_; }
  bool IsOpen(io_connect_t connection) const { return connections_.count(connection) != 0; }

  IOReturn Start(ServiceHandler matched, ServiceHandler terminated) override;
  void Stop() override;
  IOReturn Open(const std::string& service, std::uint32_t type, io_connect_t& connection) override;
  IOReturn AddInterestNotification(io_connect_t connection, MessageHandler handler,
                                   io_object_t& notification) override;
  IOReturn ReleaseNotification(io_object_t notification) override;
  IOReturn CallScalarMethod(io_connect_t connection, std::uint32_t selector, std::span<const std::uint64_t> inputs,
                            std::span<std::uint64_t> outputs) override;
  IOReturn Close(io_connect_t connection) override;

 private:
  struct Driver {
    bool present = false;
    std::uint32_t identity = 0;
    IOReturn openStatus = kIOReturnSuccess;
    Behaviour behaviour;
    std::vector<std::int32_t> accelerations;
  };
  struct Interest {
    io_connect_t connection;
    MessageHandler handler;
  };

  std::map<std::string, Driver> drivers_;
  std::map<io_connect_t, std::string> connections_;
  std::map<io_object_t, Interest> interests_;
  std::deque<io_object_t> queued_;
  std::vector<Call> calls_;
  std::vector<io_connect_t> closed_;
  std::function<void(const Call&)> onCall_;
  ServiceHandler matched_;
  ServiceHandler terminated_;
  IOReturn interestStatus_ = kIOReturnSuccess;
  bool watching_ = false;
  std::size_t starts_ = 0;
  io_connect_t nextConnection_ = 0x1001;
  io_object_t nextNotification_ = 0x2001;
};

}  // namespace korvid
