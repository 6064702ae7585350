// SPDX-License-Identifier: MIT
// The window's view of the session's desktop, chosen at its first use: Read() runs on a
// worker thread, and the choice itself may ask the session bus.
#include <QDBusConnection>

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "platform/desktop/DesktopPointers.h"
#include "platform/desktop/GnomeMousePointers.h"
#include "platform/desktop/KWinPointers.h"
#include "platform/desktop/SwayPointers.h"
#include "platform/desktop/XInputPointers.h"

namespace korvid {

namespace {

class NoDesktop final : public DesktopPointers {
 public:
  DesktopPointerState Read() override { return {}; }
  OSStatus SetGlobalProfileFlat() override { return paramErr; }
};

bool Set(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0';
}

// XDG_CURRENT_DESKTOP is a colon-separated list, e.g. "ubuntu:GNOME".
bool CurrentDesktopIs(std::string_view name) {
  const char* value = std::getenv("XDG_CURRENT_DESKTOP");
  std::string_view list = value != nullptr ? value : "";
  while (!list.empty()) {
    const auto end = list.find(':');
    if (list.substr(0, end) == name) return true;
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return false;
}

std::unique_ptr<DesktopPointers> Choose() {
  if (Set("SWAYSOCK")) return std::make_unique<SwayPointers>(QString::fromLocal8Bit(std::getenv("SWAYSOCK")));
  if (CurrentDesktopIs("KDE") && KWinPointers::Present(QDBusConnection::sessionBus())) {
    return std::make_unique<KWinPointers>(QDBusConnection::sessionBus());
  }
  if (CurrentDesktopIs("GNOME")) return std::make_unique<GnomeMousePointers>();
  // Under a Wayland compositor, DISPLAY is Xwayland, whose devices are not the real ones.
  if (Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) return std::make_unique<XInputPointers>();
  return std::make_unique<NoDesktop>();
}

class SessionDesktopPointers final : public DesktopPointers {
 public:
  DesktopPointerState Read() override { return Chosen().Read(); }
  OSStatus SetGlobalProfileFlat() override { return Chosen().SetGlobalProfileFlat(); }

 private:
  DesktopPointers& Chosen() {
    std::call_once(once_, [this] { chosen_ = Choose(); });
    return *chosen_;
  }

  std::once_flag once_;
  std::unique_ptr<DesktopPointers> chosen_;
};

}  // namespace

std::unique_ptr<DesktopPointers> MakeSessionDesktopPointers() {
  return std::make_unique<SessionDesktopPointers>();
}

}  // namespace korvid
