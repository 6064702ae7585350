// SPDX-License-Identifier: MIT
// Finding a process by name, and the control message the pane sends to the helper.
//
// The control message is event class KvdO, id KvdC, addressed to the helper's process
// serial number, with two parameters: the command as `----` (typeMagnitude, 4 bytes) and
// its value as `KvdC` (typeSInt32, 4 bytes). A reply, when one is asked for, carries the
// output of the last driver the helper called as `----` (typeSInt32); a helper that fails
// puts no `----` into its reply.
#pragma once

#include <cstdint>

#include "strings/PString.h"
#include "platform/Status.h"
#include "platform/events/EventPort.h"
#include "platform/process/ProcessTable.h"

namespace korvid {

// How long a sender that wants the reply waits for it: a quarter of a second.
inline constexpr std::int32_t kControlReplyTimeoutTicks = 15;

// Walks the processes in order and stops at the first whose name equals `name` after
// folding 'A'..'Z' (PStringCmp). Stores its serial number in `psn` (if not null) and
// returns 0; at the end of the list returns procNotFound. The calling process is not
// excluded. The status is 16-bit, widened.
OSStatus FindNamedProcess(ProcessTable& processes, ConstPString name, ProcessSerialNumber* psn);

// Sends the control message (command, value) to the first process named `name`. With
// `result` null the message goes without a reply and the call never waits for the
// receiver; otherwise it waits up to 15 ticks and stores the reply's value in *result
// (left untouched on any failure). The status is 16-bit, widened.
OSStatus SendControlToKext(ProcessTable& processes, EventPort& port, ConstPString name,
                           std::uint32_t command, std::int32_t value, std::int32_t* result);

}  // namespace korvid
