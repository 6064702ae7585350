// SPDX-License-Identifier: MIT
#include "platform/desktop/DesktopPointerKeeper.h"

#include <cstdlib>

namespace korvid {

DesktopPointerKeeper::DesktopPointerKeeper(QDBusConnection bus, DesktopLog log)
    : bus_(std::move(bus)), log_(std::move(log)) {}

std::vector<std::string> DesktopPointerKeeper::Start() {
  std::vector<std::string> kept;
  const auto set = [](const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
  };
  // Under a Wayland compositor, DISPLAY is Xwayland, whose devices are not the real ones.
  if (!x11_ && set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
    auto x11 = std::make_unique<XInputPointers>(nullptr, log_);
    if (x11->Keep() == noErr) {
      x11_ = std::move(x11);
      kept.push_back("X11");
    }
  }
  if (!sway_ && set("SWAYSOCK")) {
    auto sway = std::make_unique<SwayPointers>(QString::fromLocal8Bit(std::getenv("SWAYSOCK")), log_);
    if (sway->Keep() == noErr) {
      sway_ = std::move(sway);
      kept.push_back("sway");
    } else if (log_) {
      log_("sway does not answer on $SWAYSOCK; its Tessel pointers are not kept flat");
    }
  }
  if (!kwin_ && KWinPointers::Present(bus_)) {
    auto kwin = std::make_unique<KWinPointers>(bus_, log_);
    if (kwin->Keep() == noErr) {
      kwin_ = std::move(kwin);
      kept.push_back("KDE Plasma");
    }
  }
  return kept;
}

}  // namespace korvid
