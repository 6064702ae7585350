// SPDX-License-Identifier: MIT
#include "pane/messages/ControlMessages.h"

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
  const auto fill = [&](AppleEvent& event) {
    OSStatus status = AEPutParamValue(event, keyDirectObject, typeMagnitude, command);
    if (status == noErr) status = AEPutParamValue(event, kKvdC, typeSInt32, value);
    return status;
  };
  if (!result) {
    return SendEventToProcess(port, psn, kKvdO, kKvdC, kAENoReply, kControlReplyTimeoutTicks, fill);
  }
  return SendEventToProcess(port, psn, kKvdO, kKvdC, kAEWaitReply, kControlReplyTimeoutTicks, fill,
                            [&](const AppleEvent& reply) {
                              return AEGetParamValue(reply, keyDirectObject, typeSInt32, *result);
                            });
}

}  // namespace

OSStatus SendControlToKext(ProcessTable& processes, EventPort& port, ConstPString name,
                           std::uint32_t command, std::int32_t value, std::int32_t* result) {
  return Widen16(SendControl(processes, port, name, command, value, result));
}

}  // namespace korvid
