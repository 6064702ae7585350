// SPDX-License-Identifier: MIT
// korvid-session-launcher: run at the start of the user's desktop session (XDG
// autostart); starts every application listed in the user's login items and exits.
#include "platform/files/FolderLocator.h"
#include "platform/session/SessionLauncher.h"

int main() {
  korvid::PosixSpawner spawner;
  korvid::LaunchLoginItems(korvid::FolderLocator::Default().UserPreferencesFolder(), spawner);
  return 0;
}
