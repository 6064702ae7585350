// SPDX-License-Identifier: MIT
// The display server's own pointer acceleration on the Tessel's pointers.
//
// libinput, inside the X server or the Wayland compositor, adds a curve of its own to every
// pointer whose profile is not flat. The Tessel's motion is already accelerated by our curve
// (kernel module or driver daemon), so every pointer of the Tessel must run libinput's flat
// profile at speed 0, and no other pointer may be touched without the user's word.
//
//   X11:        XInput device properties "libinput Accel Profile Enabled" / "libinput Accel
//               Speed" on the devices whose "Device Product ID" is the Tessel's
//   sway:       its IPC socket ($SWAYSOCK): `input <identifier> accel_profile flat`
//   KDE Plasma: KWin's org.kde.KWin.InputDevice objects on the session bus
//               (pointerAccelerationProfileFlat, per device)
//   GNOME:      one setting for every mouse (org.gnome.desktop.peripherals.mouse
//               accel-profile), changed only when the user asks for it
#pragma once

#include <memory>
#include <string>

#include "platform/Status.h"

namespace korvid {

// What the desktop's own acceleration does to the Tessel's pointers.
enum class DesktopAcceleration {
  kFlat,     // every Tessel pointer the desktop has is flat at speed 0: only our curve runs
  kStacked,  // at least one Tessel pointer runs the desktop's curve on top of ours
  kUnknown,  // no desktop recognised, no Tessel pointer seen, or the desktop did not answer
};

struct DesktopPointerState {
  // The desktop recognised: "X11", "sway", "KDE Plasma", "GNOME"; empty when none.
  std::string desktop;
  DesktopAcceleration acceleration = DesktopAcceleration::kUnknown;
  // The desktop has only one setting for every mouse (GNOME): the window may offer to set
  // it to flat, on the user's click.
  bool globalSettingOnly = false;
};

// The window's view of the desktop: what it does now, and the one global change it may make
// when the user asks. Read() makes short local calls (X server, compositor socket, session
// bus); the window calls it off its GUI thread.
class DesktopPointers {
 public:
  virtual ~DesktopPointers() = default;
  virtual DesktopPointerState Read() = 0;
  // Sets the desktop's global mouse acceleration profile to flat. Only where
  // Read().globalSettingOnly; paramErr elsewhere.
  virtual OSStatus SetGlobalProfileFlat() = 0;
};

// The session's desktop, found from the environment (DISPLAY, WAYLAND_DISPLAY, SWAYSOCK,
// XDG_CURRENT_DESKTOP, the session bus).
std::unique_ptr<DesktopPointers> MakeSessionDesktopPointers();

}  // namespace korvid
