// SPDX-License-Identifier: MIT
#include "platform/devices/SimulatedDeviceWatcher.h"

namespace korvid {

SimulatedDeviceWatcher::SimulatedDeviceWatcher(Delivery delivery) : delivery_(delivery) {}

SimulatedDeviceWatcher::~SimulatedDeviceWatcher() = default;

DeviceService SimulatedDeviceWatcher::Plug(std::shared_ptr<UsbDeviceInterface> device) {
  const DeviceService service = NewService();
  attached_.emplace(service, device);
  if (watching_) Enqueue(Event{true, service, std::move(device)});
  return service;
}

DeviceService SimulatedDeviceWatcher::PlugRefused() {
  const DeviceService service = NewService();
  attached_.emplace(service, nullptr);
  refused_.insert(service);
  if (watching_) Enqueue(Event{true, service, nullptr, true});
  return service;
}

void SimulatedDeviceWatcher::ReportAgain(DeviceService service) {
  const auto found = attached_.find(service);
  if (found != attached_.end() && watching_) Enqueue(Event{true, service, found->second});
}

void SimulatedDeviceWatcher::Unplug(DeviceService service) {
  if (attached_.erase(service) == 0) return;
  refused_.erase(service);
  if (watching_) Enqueue(Event{false, service, nullptr});
}

void SimulatedDeviceWatcher::Enqueue(Event event) {
  queue_.push_back(std::move(event));
  if (delivery_ == Delivery::kEventLoop && !deliveryScheduled_) {
    deliveryScheduled_ = true;
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          deliveryScheduled_ = false;
          DeliverPending();
        },
        Qt::QueuedConnection);
  }
}

int SimulatedDeviceWatcher::DeliverPending() {
  int delivered = 0;
  while (!queue_.empty()) {
    const Event event = std::move(queue_.front());
    queue_.pop_front();
    Deliver(event);
    ++delivered;
  }
  return delivered;
}

void SimulatedDeviceWatcher::Deliver(const Event& event) {
  if (event.arrival) {
    ReportArrival(DeviceArrival{event.service, event.device, event.refused});
  } else {
    ReportTermination(event.service);
  }
}

IOReturn SimulatedDeviceWatcher::Start() {
  if (!available_) return kIOReturnUnsupported;
  watching_ = true;
  return kIOReturnSuccess;
}

std::vector<DeviceArrival> SimulatedDeviceWatcher::WatchArrivals(ArrivalHandler handler) {
  std::vector<DeviceArrival> arrivals;
  if (!watching_) return arrivals;
  SetArrivalHandler(std::move(handler));
  for (const auto& [service, device] : attached_) {
    arrivals.push_back(DeviceArrival{service, device, refused_.count(service) != 0});
  }
  return arrivals;
}

void SimulatedDeviceWatcher::Stop() {
  watching_ = false;
  queue_.clear();
  ForgetClients();
}

}  // namespace korvid
