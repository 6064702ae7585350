// SPDX-License-Identifier: MIT
// tesselctl's pointer acceleration, kept as the settings window keeps it: in the user's
// settings domain ("acceleration", 0 = off, and "lastAcceleration"), and told to the
// helper of this session with the window's control message (KvSA, 16.16 fixed point).
#pragma once

#include <ostream>

#include "platform/events/EventPort.h"
#include "platform/files/PreferencesStore.h"
#include "platform/process/ProcessTable.h"
#include "protocol/tesselctl/Tesselctl.h"

namespace korvid::tesselctl {

// The stored acceleration; 0 (off) when the domain or its key is missing or unreadable.
float StoredAcceleration(const PreferencesStore& preferences);

// `set acceleration`: off, on and VALUE change the domain as the window's box (off, on)
// and slider (VALUE) do; the whole domain is rewritten, keys of others kept. Then the
// control message goes to the helper, waiting a quarter of a second for its answer. The
// setting stays stored whatever the helper does; no helper running is said on `err` and
// is no failure (it reads the domain when it starts), a helper that does not take it is.
int RunAcceleration(const Command& command, const PreferencesStore& preferences, ProcessTable& processes,
                    EventPort& events, std::ostream& out, std::ostream& err);

}  // namespace korvid::tesselctl
