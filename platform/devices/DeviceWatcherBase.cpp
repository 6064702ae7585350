// SPDX-License-Identifier: MIT
#include "platform/devices/DeviceWatcherBase.h"

namespace korvid {

std::vector<DeviceService> DeviceWatcherBase::WatchRemovals(RemovalHandler handler) {
  if (Watching()) onRemoval_ = std::move(handler);
  return {};  // removals are reported as they happen, never held back
}

IOReturn DeviceWatcherBase::AddInterest(DeviceService service, InterestHandler handler,
                                        DeviceNotification& notification) {
  notification = 0;
  if (!handler) return kIOReturnBadArgument;
  if (!Watching() || !Reported(service)) return kIOReturnNoDevice;
  notification = nextNotification_++;
  interests_.emplace(notification, Interest{service, std::move(handler)});
  return kIOReturnSuccess;
}

void DeviceWatcherBase::ReportArrival(DeviceArrival arrival) {
  if (!onArrival_) return;
  ArrivalHandler handler = onArrival_;  // the handler may replace itself
  std::vector<DeviceArrival> arrivals;
  arrivals.push_back(std::move(arrival));
  handler(std::move(arrivals));
}

void DeviceWatcherBase::ReportTermination(DeviceService service) {
  std::vector<DeviceNotification> notifications;
  for (const auto& [notification, interest] : interests_) {
    if (interest.service == service) notifications.push_back(notification);
  }
  for (DeviceNotification notification : notifications) {
    const auto interest = interests_.find(notification);
    if (interest == interests_.end()) continue;
    InterestHandler handler = interest->second.handler;
    handler(service, kIOMessageServiceIsTerminated, nullptr);
  }
  for (DeviceNotification notification : notifications) interests_.erase(notification);
  if (onRemoval_) {
    RemovalHandler handler = onRemoval_;
    handler({service});
  }
}

void DeviceWatcherBase::ForgetClients() {
  onArrival_ = nullptr;
  onRemoval_ = nullptr;
  interests_.clear();
}

}  // namespace korvid
