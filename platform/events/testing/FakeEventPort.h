// SPDX-License-Identifier: MIT
// In-process event ports for tests of senders and handlers. Ports join a FakeEventBus
// under a pid. Wait-reply sends run the target's handler at once; no-reply sends are
// queued until the test calls DeliverPending(), as a real receiver handles them later on
// its own loop. Events travel in their encoded form, as between real processes.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <vector>

#include "platform/events/EventPort.h"

namespace korvid {

class FakeEventPort;

class FakeEventBus {
 public:
  struct Record {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    AppleEvent event;
    AESendMode mode = 0;
    std::int32_t timeoutTicks = 0;
    OSStatus status = noErr;
  };

  // A running process that has no event port: sends to it fail with connectionInvalid.
  void AddProcessWithoutPort(std::uint32_t pid) { portless_.insert(pid); }

  // Hands every queued no-reply event to its port (events to hung ports stay queued).
  // Returns how many were delivered.
  std::size_t DeliverPending();
  std::size_t PendingCount() const { return pending_.size(); }

  // Every send, in order, with the status it returned.
  const std::vector<Record>& Sent() const { return sent_; }
  void ClearSent() { sent_.clear(); }

 private:
  friend class FakeEventPort;
  struct Pending {
    std::uint32_t to;
    std::vector<std::uint8_t> bytes;
  };
  std::map<std::uint32_t, FakeEventPort*> ports_;
  std::set<std::uint32_t> portless_;
  std::deque<Pending> pending_;
  std::vector<Record> sent_;
};

class FakeEventPort final : public EventPort {
 public:
  FakeEventPort(FakeEventBus& bus, std::uint32_t pid);
  ~FakeEventPort() override;
  FakeEventPort(const FakeEventPort&) = delete;
  FakeEventPort& operator=(const FakeEventPort&) = delete;

  // A hung port never answers: wait-reply sends to it time out, and no-reply events to it
  // stay queued.
  void SetHung(bool hung) { hung_ = hung; }
  bool Hung() const { return hung_; }
  std::uint32_t Pid() const { return pid_; }
  // Events this port has handled (after decoding), in order.
  const std::vector<AppleEvent>& Received() const { return received_; }

  OSStatus InstallEventHandler(AEEventClass eventClass, AEEventID eventID,
                               AEEventHandler handler) override;
  OSStatus RemoveEventHandler(AEEventClass eventClass, AEEventID eventID) override;
  OSStatus SendMessage(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                       std::int32_t timeoutTicks) override;

 private:
  friend class FakeEventBus;
  // Decodes and handles one event; returns the handler's status and the encoded reply.
  OSStatus Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& replyBytes);
  OSStatus Send(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                std::int32_t timeoutTicks, std::uint32_t& to);

  FakeEventBus& bus_;
  std::uint32_t pid_;
  bool hung_ = false;
  EventHandlerTable handlers_;
  std::vector<AppleEvent> received_;
};

}  // namespace korvid
