// SPDX-License-Identifier: MIT
// What every DeviceWatcher keeps for its clients: the arrival and removal handlers, the
// interest registrations in single mice, and the numbering of services and registrations.
// A watcher built on it decides when a mouse comes or goes; this says so to the clients,
// in the order DeviceWatcher promises.
#pragma once

#include <map>
#include <vector>

#include "platform/devices/DeviceWatcher.h"

namespace korvid {

class DeviceWatcherBase : public DeviceWatcher {
 public:
  std::vector<DeviceService> WatchRemovals(RemovalHandler handler) override;
  IOReturn AddInterest(DeviceService service, InterestHandler handler, DeviceNotification& notification) override;
  void RemoveInterest(DeviceNotification notification) override { interests_.erase(notification); }

  std::size_t InterestCount() const { return interests_.size(); }
  // Between a successful Start() and Stop().
  virtual bool Watching() const = 0;

 protected:
  // Whether `service` is attached and was reported with a handle.
  virtual bool Reported(DeviceService service) const = 0;

  DeviceService NewService() { return nextService_++; }
  // Arms `handler` for later arrivals (WatchArrivals, while watching).
  void SetArrivalHandler(ArrivalHandler handler) { onArrival_ = std::move(handler); }
  bool WatchingArrivals() const { return static_cast<bool>(onArrival_); }
  // Hands one arrival to the arrival handler, if there is one.
  void ReportArrival(DeviceArrival arrival);
  // A mouse has gone: the termination message to every interest in it (handlers may take
  // their registration back, or stop the watcher, while this goes on), then its removal;
  // its registrations lapse.
  void ReportTermination(DeviceService service);
  // Forgets the handlers and the registrations (the watcher stops).
  void ForgetClients();

 private:
  struct Interest {
    DeviceService service;
    InterestHandler handler;
  };
  ArrivalHandler onArrival_;
  RemovalHandler onRemoval_;
  std::map<DeviceNotification, Interest> interests_;
  DeviceService nextService_ = 1;
  DeviceNotification nextNotification_ = 1;
};

}  // namespace korvid
