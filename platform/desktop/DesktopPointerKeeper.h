// SPDX-License-Identifier: MIT
// The helper's side: keeps the desktop's own acceleration flat on the Tessel's pointers,
// on every back end the session has (several may be there at once, e.g. X11 and KWin),
// on the Qt main loop. Without any display it does nothing. It never touches another
// pointer, nor GNOME's one global setting (only the window changes that, on a click).
#pragma once

#include <QDBusConnection>

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/KWinPointers.h"
#include "platform/desktop/PointerKeeping.h"
#include "platform/desktop/SwayPointers.h"
#include "platform/desktop/XInputPointers.h"

namespace korvid {

class DesktopPointerKeeper {
 public:
  // `bus` is the session bus, where KWin may be. `log` gets one line per device changed.
  DesktopPointerKeeper(QDBusConnection bus, DesktopLog log);
  DesktopPointerKeeper(const DesktopPointerKeeper&) = delete;
  DesktopPointerKeeper& operator=(const DesktopPointerKeeper&) = delete;

  // Finds the back ends from the environment ($DISPLAY, $SWAYSOCK, KWin on the bus) and
  // starts keeping on each; the desktops kept ("X11", "sway", "KDE Plasma").
  std::vector<std::string> Start();

 private:
  QDBusConnection bus_;
  DesktopLog log_;
  std::unique_ptr<XInputPointers> x11_;
  std::unique_ptr<SwayPointers> sway_;
  std::unique_ptr<KWinPointers> kwin_;
};

}  // namespace korvid
