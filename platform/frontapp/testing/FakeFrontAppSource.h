// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/frontapp/FrontAppSource.h"

namespace korvid {

// For tests: the test decides what is in front and when it switches.
class FakeFrontAppSource final : public FrontAppSource {
 public:
  OSStatus InstallFrontSwitchHandler(std::function<void()> handler) override {
    if (installStatus_ != noErr) return installStatus_;
    handler_ = std::move(handler);
    return noErr;
  }
  std::optional<std::string> ActiveBundleIdentifier() override { return active_; }

  void FailInstall(OSStatus status) { installStatus_ = status; }
  bool Installed() const { return static_cast<bool>(handler_); }
  // Brings an application (nullopt: one without an identifier) to the front.
  void SwitchTo(std::optional<std::string> bundleIdentifier) {
    active_ = std::move(bundleIdentifier);
    if (handler_) handler_();
  }

 private:
  OSStatus installStatus_ = noErr;
  std::function<void()> handler_;
  std::optional<std::string> active_;
};

}  // namespace korvid
