// SPDX-License-Identifier: MIT
#include "pane/messages/ControlMessages.h"

#include <cstring>

namespace korvid {

OSStatus FindNamedProcess(ProcessTable& processes, ConstPString name, ProcessSerialNumber* psn) {
  ProcessSerialNumber current{0, kNoProcess};
  for (;;) {
    if (const OSStatus status = processes.GetNextProcess(current); status != noErr) {
      return Widen16(status);
    }
    ProcessName processName{};
    processName[0] = 0;
    if (const OSStatus status = processes.GetProcessName(current, processName); status != noErr) {
      return Widen16(status);
    }
    if (PStringCmp(name, processName) != 0) continue;
    if (psn) *psn = current;
    return noErr;
  }
}

namespace {

OSStatus SendControl(ProcessTable& processes, EventPort& port, ConstPString name,
                     std::uint32_t command, std::int32_t value, std::int32_t* result) {
  ProcessSerialNumber psn{};
  if (const OSStatus status = FindNamedProcess(processes, name, &psn); status != noErr) {
    return status;
  }
  std::uint8_t address[8];
  std::memcpy(address, &psn.highLongOfPSN, 4);
  std::memcpy(address + 4, &psn.lowLongOfPSN, 4);
  AEAddressDesc target;
  if (const OSStatus status = AECreateDesc(typeProcessSerialNumber, address, target);
      status != noErr) {
    return status;
  }
  AppleEvent event;
  const OSStatus created =
      AECreateAppleEvent(kKvdO, kKvdC, target, kAutoGenerateReturnID, kAnyTransactionID, event);
  AEDisposeDesc(target);
  if (created != noErr) return created;

  AppleEvent reply;  // a null descriptor until the send fills it
  OSStatus status = AEPutParamValue(event, keyDirectObject, typeMagnitude, command);
  if (status == noErr) status = AEPutParamValue(event, kKvdC, typeSInt32, value);
  if (status == noErr) {
    if (result) {
      status = port.SendMessage(event, reply, kAEWaitReply, kControlReplyTimeoutTicks);
      if (status == noErr) status = AEGetParamValue(reply, keyDirectObject, typeSInt32, *result);
    } else {
      status = port.SendMessage(event, reply, kAENoReply, kControlReplyTimeoutTicks);
    }
  }
  AEDisposeDesc(reply);
  AEDisposeDesc(event);
  return status;
}

}  // namespace

OSStatus SendControlToKext(ProcessTable& processes, EventPort& port, ConstPString name,
                           std::uint32_t command, std::int32_t value, std::int32_t* result) {
  return Widen16(SendControl(processes, port, name, command, value, result));
}

}  // namespace korvid
