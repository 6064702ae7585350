// SPDX-License-Identifier: MIT
// A process's port for events: it installs handlers for (event class, event id) pairs and
// receives events on its main loop, and it sends events to other processes, addressed by
// process serial number, with or without waiting for the reply.
#pragma once

#include <functional>
#include <map>
#include <utility>

#include "platform/events/AppleEvent.h"

namespace korvid {

// A handler fills `reply` (when the sender waits for one) and returns a 16-bit status;
// a nonzero status reaches the sender as the reply's keyErrorNumber parameter.
using AEEventHandler = std::function<OSErr(const AppleEvent& event, AppleEvent& reply)>;

class EventPort {
 public:
  virtual ~EventPort() = default;

  // Handlers for one (class, id) pair; installing again replaces the handler.
  virtual OSStatus InstallEventHandler(AEEventClass eventClass, AEEventID eventID,
                                       AEEventHandler handler) = 0;
  // errAEHandlerNotFound if none is installed.
  virtual OSStatus RemoveEventHandler(AEEventClass eventClass, AEEventID eventID) = 0;

  // Sends `event` to its target. kAENoReply returns once the event is on its way and never
  // waits for the receiver; kAEWaitReply waits up to `timeoutTicks` (1/60 s) for the reply,
  // which lands in `reply` (a null descriptor otherwise). A handler's failure is not a
  // send failure: it arrives as the reply's keyErrorNumber.
  //
  // Statuses: procNotFound (no such process), connectionInvalid (the process has no event
  // port, or lost it), errAETimeout, errAEUnknownSendMode, errAENotAEDesc,
  // errAEUnknownAddressType, errAECorruptData / errAEReplyNotValid (a malformed reply).
  // kAEQueueReply is not offered (errAEUnknownSendMode). A receiver refuses events that
  // are malformed (errAECorruptData) or come from another user (errAEEventNotPermitted);
  // like a handler's failure, those statuses arrive as the reply's keyErrorNumber.
  virtual OSStatus SendMessage(const AppleEvent& event, AppleEvent& reply, AESendMode mode,
                               std::int32_t timeoutTicks) = 0;
};

// The handler table shared by every port: finds the handler for an event and runs it.
class EventHandlerTable {
 public:
  OSStatus Install(AEEventClass eventClass, AEEventID eventID, AEEventHandler handler) {
    if (!handler) return paramErr;
    handlers_[{eventClass, eventID}] = std::move(handler);
    return noErr;
  }
  OSStatus Remove(AEEventClass eventClass, AEEventID eventID) {
    return handlers_.erase({eventClass, eventID}) ? noErr : errAEHandlerNotFound;
  }
  bool Has(AEEventClass eventClass, AEEventID eventID) const {
    return handlers_.count({eventClass, eventID}) != 0;
  }
  // Runs the handler; errAEEventNotHandled when there is none. The status is widened from
  // the handler's 16 bits.
  OSStatus Dispatch(const AppleEvent& event, AppleEvent& reply) {
    const auto it = handlers_.find({event.eventClass, event.eventID});
    if (it == handlers_.end()) return errAEEventNotHandled;
    // A copy: the handler may replace or remove itself.
    const AEEventHandler handler = it->second;
    return handler(event, reply);
  }

 private:
  std::map<std::pair<AEEventClass, AEEventID>, AEEventHandler> handlers_;
};

// Sends an event (eventClass, eventID) to the process `psn` through `port`: `fill`, when
// given, puts the event's parameters; the event goes with `mode` and `timeoutTicks`; and
// `readReply`, when given, reads the reply of a send that succeeded. Returns the first
// failure of these steps. Event and reply are disposed of either way.
OSStatus SendEventToProcess(EventPort& port, const ProcessSerialNumber& psn, AEEventClass eventClass,
                            AEEventID eventID, AESendMode mode, std::int32_t timeoutTicks,
                            const std::function<OSStatus(AppleEvent& event)>& fill = {},
                            const std::function<OSStatus(const AppleEvent& reply)>& readReply = {});

}  // namespace korvid
