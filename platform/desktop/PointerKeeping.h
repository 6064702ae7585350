// SPDX-License-Identifier: MIT
// What the desktop back ends share when they keep the Tessel's pointers flat for the helper:
// where their lines go, how long they wait for an answer, and how often they set a pointer
// flat again after someone else changed it back.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/desktop/DesktopPointers.h"

namespace korvid {

// What one pointer of the desktop runs, as a back end reads it.
enum class PointerState { kNotOurs, kFlat, kStacked, kNoAnswer };

// The desktop's acceleration on the Tessel from its pointers' states: unknown when one did
// not answer or none is the Tessel's, stacked when any Tessel pointer is, else flat.
DesktopAcceleration CombinePointerStates(const std::vector<PointerState>& states);

// One line for the user's log (the helper prefixes its name and writes it on stderr).
using DesktopLog = std::function<void(const std::string& line)>;

// Every wait for the X server, the compositor or the session bus ends after this.
inline constexpr int kDesktopReplyTimeoutMs = 1000;

// How many times one pointer is made flat again after someone else changed it back. Past
// that the keeper leaves it as it is: two programs must not fight over a setting forever.
inline constexpr int kMaxFlatAgain = 3;

// The line for a pointer that was not flat and is now; `device` names it, e.g.
// `X input device 12 "Korvid Tessel"`.
std::string NowFlatLine(const std::string& device);

// Counts, per device, the times it was made flat again.
class FlatAgainBudget {
 public:
  // Whether `key` (naming `device` in lines) may be made flat again after a change by
  // someone else; says so in `log`, and says once when it gives up.
  bool Allow(const std::string& key, const std::string& device, const DesktopLog& log);
  // The device went away: one that comes with the same key starts afresh.
  void Forget(const std::string& key) { used_.erase(key); }

 private:
  std::map<std::string, int> used_;
};

}  // namespace korvid
