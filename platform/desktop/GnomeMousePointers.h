// SPDX-License-Identifier: MIT
// GNOME: one setting for every mouse, GSettings org.gnome.desktop.peripherals.mouse
// accel-profile ("default", "flat", "adaptive"). Nothing here changes it by itself: only
// SetGlobalProfileFlat(), which the window calls on the user's click.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop/DesktopPointers.h"

namespace korvid {

inline constexpr const char* kGnomeMouseSchema = "org.gnome.desktop.peripherals.mouse";
inline constexpr const char* kGnomeAccelProfileKey = "accel-profile";

class GnomeMousePointers final : public DesktopPointers {
 public:
  // `schemaDirectory` empty: the system's schemas and the user's settings. Otherwise the
  // schemas compiled in that folder, with settings held in memory (for tests).
  explicit GnomeMousePointers(const std::string& schemaDirectory = {});
  ~GnomeMousePointers() override;
  GnomeMousePointers(const GnomeMousePointers&) = delete;
  GnomeMousePointers& operator=(const GnomeMousePointers&) = delete;

  // desktop "GNOME", globalSettingOnly: flat when the setting is "flat", stacked otherwise;
  // unknown (and not global) when the schema or its key is not installed.
  DesktopPointerState Read() override;
  // Writes "flat" and waits until it is stored. paramErr without the schema, ioErr when the
  // key may not be written.
  OSStatus SetGlobalProfileFlat() override;

 private:
  struct Settings;
  std::unique_ptr<Settings> settings_;  // null without the schema
};

}  // namespace korvid
