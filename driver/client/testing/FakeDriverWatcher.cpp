// SPDX-License-Identifier: MIT
#include "driver/client/testing/FakeDriverWatcher.h"

#include "platform/FourCC.h"

namespace korvid {

void FakeDriverWatcher::AddDriver(const std::string& service, std::uint32_t identity) {
  Driver& driver = drivers_[service];
  if (driver.present) return;
  driver.present = true;
  driver.identity = identity;
  if (watching_ && matched_) matched_(service);
}

void FakeDriverWatcher::RemoveDriver(const std::string& service) {
  Driver& driver = drivers_[service];
  if (!driver.present) return;
  driver.present = false;
  for (const auto& [id, interest] : interests_) {
    const auto connection = connections_.find(interest.connection);
    if (connection != connections_.end() && connection->second == service) queued_.push_back(id);
  }
  if (watching_ && terminated_) terminated_(service);
}

std::size_t FakeDriverWatcher::DeliverMessages() {
  std::size_t delivered = 0;
  while (!queued_.empty()) {
    const io_object_t id = queued_.front();
    queued_.pop_front();
    const auto it = interests_.find(id);
    if (it == interests_.end()) continue;
    const MessageHandler handler = it->second.handler;
    handler(kIOMessageServiceIsTerminated);
    ++delivered;
  }
  return delivered;
}

IOReturn FakeDriverWatcher::Start(ServiceHandler matched, ServiceHandler terminated) {
  if (watching_) return kIOReturnExclusiveAccess;
  watching_ = true;
  ++starts_;
  matched_ = std::move(matched);
  terminated_ = std::move(terminated);
  std::vector<std::string> present;
  for (const auto& [service, driver] : drivers_) {
    if (driver.present) present.push_back(service);
  }
  for (const std::string& service : present) {
    if (watching_ && matched_) matched_(service);
  }
  return kIOReturnSuccess;
}

void FakeDriverWatcher::Stop() {
  watching_ = false;
  interests_.clear();
  queued_.clear();
}

IOReturn FakeDriverWatcher::Open(const std::string& service, std::uint32_t type, io_connect_t& connection) {
  connection = 0;
  const auto it = drivers_.find(service);
  if (it == drivers_.end() || !it->second.present) return kIOReturnNotFound;
  if (it->second.openStatus != kIOReturnSuccess) return it->second.openStatus;
  if (type != kKvdU) return kIOReturnUnsupported;
  connection = nextConnection_++;
  connections_[connection] = service;
  return kIOReturnSuccess;
}

IOReturn FakeDriverWatcher::AddInterestNotification(io_connect_t connection, MessageHandler handler,
                                                    io_object_t& notification) {
  notification = 0;
  if (interestStatus_ != kIOReturnSuccess) return interestStatus_;
  const auto it = connections_.find(connection);
  if (it == connections_.end() || !watching_) return kIOReturnBadArgument;
  notification = nextNotification_++;
  interests_[notification] = Interest{connection, std::move(handler)};
  if (!drivers_[it->second].present) queued_.push_back(notification);
  return kIOReturnSuccess;
}

IOReturn FakeDriverWatcher::ReleaseNotification(io_object_t notification) {
  return interests_.erase(notification) ? kIOReturnSuccess : kIOReturnBadArgument;
}

IOReturn FakeDriverWatcher::CallScalarMethod(io_connect_t connection, std::uint32_t selector,
                                             std::span<const std::uint64_t> inputs, std::span<std::uint64_t> outputs) {
  for (auto& output : outputs) output = 0;
  const auto it = connections_.find(connection);
  if (it == connections_.end()) return kIOReturnBadArgument;
  Call call{it->second, connection, selector, {inputs.begin(), inputs.end()}, outputs.size()};
  calls_.push_back(call);
  if (onCall_) onCall_(call);
  Driver& driver = drivers_[call.service];
  if (!driver.present) return kIOReturnNoDevice;
  if (driver.behaviour) return driver.behaviour(inputs, outputs);
  if (selector != 0) return kIOReturnUnsupported;
  if (inputs.size() != 3 || outputs.size() != 1) return kIOReturnBadArgument;
  const auto command = static_cast<std::uint32_t>(inputs[1]);
  if (command == kKvID) {
    outputs[0] = driver.identity;
    return kIOReturnSuccess;
  }
  if (command == kKvSA) {
    driver.accelerations.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(inputs[2])));
    return kIOReturnSuccess;
  }
  return kIOReturnBadArgument;
}

IOReturn FakeDriverWatcher::Close(io_connect_t connection) {
  if (connections_.erase(connection) == 0) return kIOReturnBadArgument;
  for (auto it = interests_.begin(); it != interests_.end();) {
    it = it->second.connection == connection ? interests_.erase(it) : std::next(it);
  }
  closed_.push_back(connection);
  return kIOReturnSuccess;
}

}  // namespace korvid
