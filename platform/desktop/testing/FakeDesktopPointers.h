// SPDX-License-Identifier: MIT
// A desktop whose answers the test sets: the state Read() gives, the status of the global
// change, and what was asked of it and on which thread. Safe to call from any thread.
#pragma once

#include <mutex>
#include <thread>
#include <vector>

#include "platform/desktop/DesktopPointers.h"

namespace korvid {

class FakeDesktopPointers final : public DesktopPointers {
 public:
  void SetState(DesktopPointerState state) {
    std::lock_guard lock(mutex_);
    state_ = std::move(state);
  }
  // What SetGlobalProfileFlat() answers where the desktop has the global setting; on
  // noErr the desktop is flat from then on.
  void SetFlatResult(OSStatus status) {
    std::lock_guard lock(mutex_);
    flatResult_ = status;
  }

  int Reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  int FlatCalls() const {
    std::lock_guard lock(mutex_);
    return flatCalls_;
  }
  // Whether any call was made on `thread`.
  bool CalledOn(std::thread::id thread) const {
    std::lock_guard lock(mutex_);
    for (const std::thread::id& caller : callers_) {
      if (caller == thread) return true;
    }
    return false;
  }

  DesktopPointerState Read() override {
    std::lock_guard lock(mutex_);
    ++reads_;
    callers_.push_back(std::this_thread::get_id());
    return state_;
  }

  OSStatus SetGlobalProfileFlat() override {
    std::lock_guard lock(mutex_);
    ++flatCalls_;
    callers_.push_back(std::this_thread::get_id());
    if (!state_.globalSettingOnly) return paramErr;
    if (flatResult_ == noErr) state_.acceleration = DesktopAcceleration::kFlat;
    return flatResult_;
  }

 private:
  mutable std::mutex mutex_;
  DesktopPointerState state_;
  OSStatus flatResult_ = noErr;
  int reads_ = 0;
  int flatCalls_ = 0;
  std::vector<std::thread::id> callers_;
};

}  // namespace korvid
