// SPDX-License-Identifier: MIT
// DeviceWatcher over mice that a program or a test plugs and unplugs at will (simulated
// mice, or any other device handle). Events are queued and delivered either when the test
// calls DeliverPending() or, with Delivery::kEventLoop, from the Qt main loop.
#pragma once

#include <QObject>
#include <deque>
#include <map>
#include <memory>
#include <set>

#include "platform/devices/DeviceWatcherBase.h"

namespace korvid {

class SimulatedDeviceWatcher final : public DeviceWatcherBase {
 public:
  enum class Delivery { kManual, kEventLoop };

  explicit SimulatedDeviceWatcher(Delivery delivery = Delivery::kManual);
  ~SimulatedDeviceWatcher() override;

  // Attaches a mouse and queues its arrival; returns its service.
  DeviceService Plug(std::shared_ptr<UsbDeviceInterface> device);
  // Attaches a mouse that this account may not open: its arrival has no handle.
  DeviceService PlugRefused();
  // Queues another arrival of an attached mouse with the same handle (a duplicate report).
  void ReportAgain(DeviceService service);
  // Detaches a mouse at once and queues its termination; unknown services are ignored.
  void Unplug(DeviceService service);
  // Makes Start() fail with kIOReturnUnsupported (no watching facility), as a machine
  // without one would.
  void SetAvailable(bool available) { available_ = available; }

  // Delivers the queued events in order. Returns the number delivered.
  int DeliverPending();

  bool Watching() const override { return watching_; }
  bool Attached(DeviceService service) const { return attached_.count(service) != 0; }
  std::size_t PendingCount() const { return queue_.size(); }

  IOReturn Start() override;
  std::vector<DeviceArrival> WatchArrivals(ArrivalHandler handler) override;
  void Stop() override;

 private:
  bool Reported(DeviceService service) const override {
    return attached_.count(service) != 0 && refused_.count(service) == 0;
  }
  struct Event {
    bool arrival;
    DeviceService service;
    std::shared_ptr<UsbDeviceInterface> device;
    bool refused = false;
  };
  void Enqueue(Event event);
  void Deliver(const Event& event);

  Delivery delivery_;
  bool available_ = true;
  bool watching_ = false;
  bool deliveryScheduled_ = false;
  QObject context_;  // owner of the queued deliveries on the main loop
  std::map<DeviceService, std::shared_ptr<UsbDeviceInterface>> attached_;  // in plug order
  std::set<DeviceService> refused_;
  std::deque<Event> queue_;
};

}  // namespace korvid
