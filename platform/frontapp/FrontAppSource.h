// SPDX-License-Identifier: MIT
// The frontmost application and its switches. On X11 the frontmost application is the
// one owning the active window (_NET_ACTIVE_WINDOW), and its bundle identifier is the
// class name in that window's WM_CLASS.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Status.h"

namespace korvid {

class FrontAppSource {
 public:
  virtual ~FrontAppSource() = default;
  // Installs the handler called on the main loop after each switch of the active window;
  // installing again replaces it. A failure status means no switch will be reported
  // (there is no display, for instance).
  virtual OSStatus InstallFrontSwitchHandler(std::function<void()> handler) = 0;
  // The bundle identifier of the frontmost application; nullopt when there is no active
  // window or the window does not name its class.
  virtual std::optional<std::string> ActiveBundleIdentifier() = 0;
};

}  // namespace korvid
