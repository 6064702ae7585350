// SPDX-License-Identifier: MIT
#include "platform/events/testing/FakeEventPort.h"

namespace korvid {

std::size_t FakeEventBus::DeliverPending() {
  std::size_t delivered = 0;
  std::deque<Pending> waiting;
  while (!pending_.empty()) {
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    const auto port = ports_.find(next.to);
    if (port == ports_.end()) continue;  // the receiver is gone: the event is lost
    if (port->second->Hung()) {
      waiting.push_back(std::move(next));
      continue;
    }
    std::vector<std::uint8_t> ignored;
    port->second->Receive(next.bytes, ignored);
    ++delivered;
  }
  pending_ = std::move(waiting);
  return delivered;
}

FakeEventPort::FakeEventPort(FakeEventBus& bus, std::uint32_t pid) : bus_(bus), pid_(pid) {
  bus_.ports_[pid_] = this;
}

FakeEventPort::~FakeEventPort() {
  const auto it = bus_.ports_.find(pid_);
  if (it != bus_.ports_.end() && it->second == this) bus_.ports_.erase(it);
}

OSStatus FakeEventPort::InstallEventHandler(AEEventClass eventClass, AEEventID eventID,
                                            AEEventHandler handler) {
  return handlers_.Install(eventClass, eventID, std::move(handler));
}

OSStatus FakeEventPort::RemoveEventHandler(AEEventClass eventClass, AEEventID eventID) {
  return handlers_.Remove(eventClass, eventID);
}

OSStatus FakeEventPort::Receive(std::span<const std::uint8_t> bytes,
                                std::vector<std::uint8_t>& replyBytes) {
  AppleEvent event;
  OSStatus status = DecodeAppleEvent(bytes, event);
  if (status != noErr) return status;
  event.target = AddressOf({0, pid_});
  received_.push_back(event);
  AppleEvent reply = MakeReplyFor(event);
  status = handlers_.Dispatch(event, reply);
  replyBytes = EncodeAppleEvent(reply);
  return status;
}

OSStatus FakeEventPort::SendMessage(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                                    std::int32_t timeoutTicks) {
  std::uint32_t to = 0;
  const OSStatus status = Send(event, reply, mode, timeoutTicks, to);
  bus_.sent_.push_back({pid_, to, event, mode, timeoutTicks, status});
  return status;
}

OSStatus FakeEventPort::Send(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                             std::int32_t timeoutTicks, std::uint32_t& to) {
  reply = AppleEvent{};
  if (const OSStatus status = SendTarget(event, mode, pid_, to); status != noErr) return status;
  const AESendMode replyMode = mode & kAEReplyModeMask;

  const auto port = bus_.ports_.find(to);
  if (port == bus_.ports_.end()) {
    return bus_.portless_.count(to) ? connectionInvalid : procNotFound;
  }
  std::vector<std::uint8_t> bytes = EncodeAppleEvent(event);
  if (replyMode == kAENoReply) {
    bus_.pending_.push_back({to, std::move(bytes)});
    return noErr;
  }
  if (port->second->Hung()) return errAETimeout;
  (void)timeoutTicks;  // the handler answers at once here; only a hung port times out
  std::vector<std::uint8_t> replyBytes;
  const OSStatus handlerStatus = port->second->Receive(bytes, replyBytes);
  AppleEvent decoded;
  if (replyBytes.empty()) {
    decoded = MakeReplyFor(event);  // the event itself was refused
  } else if (const OSStatus status = DecodeAppleEvent(replyBytes, decoded); status != noErr) {
    return status;
  }
  RecordHandlerStatus(handlerStatus, decoded);
  reply = std::move(decoded);
  return noErr;
}

}  // namespace korvid
