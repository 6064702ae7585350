// SPDX-License-Identifier: MIT
#include "platform/events/EventPort.h"

namespace korvid {

OSStatus SendEventToProcess(EventPort& port, const ProcessSerialNumber& psn, AEEventClass eventClass,
                            AEEventID eventID, AESendMode mode, std::int32_t timeoutTicks,
                            const std::function<OSStatus(AppleEvent& event)>& fill,
                            const std::function<OSStatus(const AppleEvent& reply)>& readReply) {
  AppleEvent event;
  if (const OSStatus created =
          AECreateAppleEvent(eventClass, eventID, AddressOf(psn), kAutoGenerateReturnID, kAnyTransactionID, event);
      created != noErr) {
    return created;
  }
  AppleEvent reply;  // a null descriptor until the send fills it
  OSStatus status = fill ? fill(event) : noErr;
  if (status == noErr) status = port.SendMessage(event, reply, mode, timeoutTicks);
  if (status == noErr && readReply) status = readReply(reply);
  AEDisposeDesc(reply);
  AEDisposeDesc(event);
  return status;
}

}  // namespace korvid
