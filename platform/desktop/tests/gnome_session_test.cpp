// SPDX-License-Identifier: MIT
// GNOME's one global setting, on a schema of the test's own with settings in memory, and
// which desktop the window's view picks from the session's environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "platform/desktop/DesktopPointers.h"
#include "platform/desktop/GnomeMousePointers.h"
#include "platform/events/testing/QtTestLoop.h"

namespace korvid {
namespace {

TEST(GnomeMouse, TheGlobalSettingIsReadAndMadeFlatOnlyWhenAsked) {
  GnomeMousePointers missing(std::string(KORVID_TEST_SCHEMAS) + "/not-there");
  const DesktopPointerState none = missing.Read();
  EXPECT_EQ(none.desktop, "GNOME");
  EXPECT_EQ(none.acceleration, DesktopAcceleration::kUnknown);
  EXPECT_FALSE(none.globalSettingOnly);
  EXPECT_EQ(missing.SetGlobalProfileFlat(), paramErr);

  GnomeMousePointers gnome(KORVID_TEST_SCHEMAS);
  const DesktopPointerState before = gnome.Read();
  EXPECT_EQ(before.desktop, "GNOME");
  EXPECT_EQ(before.acceleration, DesktopAcceleration::kStacked);  // "default" is adaptive for a mouse
  EXPECT_TRUE(before.globalSettingOnly);
  ASSERT_EQ(gnome.SetGlobalProfileFlat(), noErr);
  EXPECT_EQ(gnome.Read().acceleration, DesktopAcceleration::kFlat);
  EXPECT_TRUE(gnome.Read().globalSettingOnly);
}

// Sets the session's variables for one case and puts back what was there.
class SessionEnvironment {
 public:
  explicit SessionEnvironment(const std::map<std::string, std::string>& values) {
    for (const char* name : {"SWAYSOCK", "XDG_CURRENT_DESKTOP", "DISPLAY", "WAYLAND_DISPLAY"}) {
      const char* old = std::getenv(name);
      saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
      const auto value = values.find(name);
      if (value != values.end()) {
        setenv(name, value->second.c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
  }
  ~SessionEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  SessionEnvironment(const SessionEnvironment&) = delete;
  SessionEnvironment& operator=(const SessionEnvironment&) = delete;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(SessionDesktop, ChosenFromTheEnvironment) {
  testing::TestApplication();
  // No session bus, hence no KWin: a Plasma session falls through to what else it has.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvid-test-bus", 1);
  struct Row {
    std::map<std::string, std::string> environment;
    std::string desktop;
  };
  const std::string noServer = "/nonexistent/sway-ipc.sock";
  const std::string noDisplay = ":4095";  // nobody's display: the view knows nothing
  const Row rows[] = {
      {{{"SWAYSOCK", noServer}, {"XDG_CURRENT_DESKTOP", "sway"}, {"WAYLAND_DISPLAY", "wayland-1"}}, "sway"},
      {{{"SWAYSOCK", noServer}, {"XDG_CURRENT_DESKTOP", "KDE"}}, "sway"},
      {{{"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}, {"WAYLAND_DISPLAY", "wayland-0"}}, "GNOME"},
      {{{"XDG_CURRENT_DESKTOP", "GNOME-Classic:GNOME"}, {"DISPLAY", noDisplay}}, "GNOME"},
      {{{"XDG_CURRENT_DESKTOP", "KDE"}, {"DISPLAY", noDisplay}}, "X11"},
      {{{"XDG_CURRENT_DESKTOP", "XFCE"}, {"DISPLAY", noDisplay}}, "X11"},
      {{{"XDG_CURRENT_DESKTOP", "GNOMEISH"}, {"DISPLAY", noDisplay}}, "X11"},
      {{{"XDG_CURRENT_DESKTOP", "Hyprland"}, {"DISPLAY", noDisplay}, {"WAYLAND_DISPLAY", "wayland-1"}}, ""},
      {{}, ""},
  };
  for (const Row& row : rows) {
    SessionEnvironment environment(row.environment);
    const auto view = MakeSessionDesktopPointers();
    const DesktopPointerState state = view->Read();
    EXPECT_EQ(state.desktop, row.desktop) << ::testing::PrintToString(row.environment);
    if (row.desktop != "GNOME") {
      EXPECT_EQ(state.acceleration, DesktopAcceleration::kUnknown) << ::testing::PrintToString(row.environment);
      EXPECT_EQ(view->SetGlobalProfileFlat(), paramErr) << ::testing::PrintToString(row.environment);
    }
  }
}

}  // namespace
}  // namespace korvid
