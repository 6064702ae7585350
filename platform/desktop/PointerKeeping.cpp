// SPDX-License-Identifier: MIT
#include "platform/desktop/PointerKeeping.h"

namespace korvid {

std::string NowFlatLine(const std::string& device) {
  return "the desktop's acceleration is now flat on " + device;
}

bool FlatAgainBudget::Allow(const std::string& key, const std::string& device, const DesktopLog& log) {
  int& used = used_[key];
  if (used > kMaxFlatAgain) return false;  // already given up, and said so
  if (used == kMaxFlatAgain) {
    ++used;
    if (log) {
      log("the desktop's acceleration on " + device + " keeps being changed back; leaving it as it is after " +
          std::to_string(kMaxFlatAgain) + " tries");
    }
    return false;
  }
  ++used;
  if (log) {
    log("the desktop's acceleration on " + device + " was changed back; making it flat again (" +
        std::to_string(used) + " of " + std::to_string(kMaxFlatAgain) + ")");
  }
  return true;
}

DesktopAcceleration CombinePointerStates(const std::vector<PointerState>& states) {
  bool flat = false;
  bool stacked = false;
  for (const PointerState state : states) {
    if (state == PointerState::kNoAnswer) return DesktopAcceleration::kUnknown;
    flat = flat || state == PointerState::kFlat;
    stacked = stacked || state == PointerState::kStacked;
  }
  if (stacked) return DesktopAcceleration::kStacked;
  return flat ? DesktopAcceleration::kFlat : DesktopAcceleration::kUnknown;
}

}  // namespace korvid
