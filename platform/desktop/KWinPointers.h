// SPDX-License-Identifier: MIT
// The Tessel's pointers under KDE Plasma (Wayland), through KWin on the session bus.
//
// KWin (service org.kde.KWin) exports its device manager at /org/kde/KWin/InputDevice,
// interface org.kde.KWin.InputDeviceManager: property devicesSysNames (as), signal
// deviceAdded(s sysName). Each device is at /org/kde/KWin/InputDevice/<sysName>, interface
// org.kde.KWin.InputDevice, with the properties read here: pointer (b), vendor (u),
// product (u), name (s), pointerAccelerationProfileFlat (b, writable) and
// pointerAcceleration (d, writable, -1 to 1, 0 the middle).
//
// Every call waits kDesktopReplyTimeoutMs at most.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>

#include "platform/desktop/DesktopPointers.h"
#include "platform/desktop/PointerKeeping.h"

namespace korvid {

inline constexpr const char* kKWinService = "org.kde.KWin";
inline constexpr const char* kKWinDeviceManagerPath = "/org/kde/KWin/InputDevice";
inline constexpr const char* kKWinDeviceManagerInterface = "org.kde.KWin.InputDeviceManager";
inline constexpr const char* kKWinDeviceInterface = "org.kde.KWin.InputDevice";

class KWinPointers final : public DesktopPointers {
 public:
  explicit KWinPointers(QDBusConnection bus, DesktopLog log = {});
  ~KWinPointers() override;
  KWinPointers(const KWinPointers&) = delete;
  KWinPointers& operator=(const KWinPointers&) = delete;

  // KWin answers on `bus` with its input devices (a Wayland session of Plasma).
  static bool Present(const QDBusConnection& bus);

  // desktop "KDE Plasma".
  DesktopPointerState Read() override;
  // Each device has its own setting: nothing global of ours to change.
  OSStatus SetGlobalProfileFlat() override { return paramErr; }

  // The helper's side, on the Qt main loop: makes every Tessel pointer flat now and each
  // one KWin adds later. connectionInvalid when KWin does not answer.
  OSStatus Keep();

 private:

  std::optional<QStringList> SysNames();
  std::optional<QVariant> Get(const QString& sysName, const char* property);
  bool Set(const QString& sysName, const char* property, const QVariant& value);
  PointerState StateOf(const QString& sysName);
  void Consider(const QString& sysName);

  QDBusConnection bus_;
  DesktopLog log_;
  std::unique_ptr<QObject> receiver_;  // takes KWin's deviceAdded on the main loop
};

}  // namespace korvid
