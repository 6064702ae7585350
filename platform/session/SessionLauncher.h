// SPDX-License-Identifier: MIT
// Starts the user's login items at login.
//
// The login items file (platform/files/LoginItemsFile.h) lists the applications to
// start; the session launcher, run once at the start of the user's desktop session
// from an XDG autostart entry, starts each of them, so that registering an application
// as a login item makes it start at every login.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/session/ProcessSpawner.h"

namespace korvid {

// The program that runs the application at `path`: the file itself when it is an
// executable regular file; for an application folder "<folder>/Name.app", the
// executable "Name" directly inside it or in its "Contents/MacOS". nullopt when the
// path is missing or nothing there can be executed.
std::optional<std::filesystem::path> ApplicationExecutable(const std::filesystem::path& path);

// The "Path" of every entry of the login items file in `preferencesFolder`, in list
// order. Elements that are no entry or have no string "Path" are skipped; a missing,
// empty or damaged file lists nothing.
std::vector<std::filesystem::path> LoginItemPaths(const std::filesystem::path& preferencesFolder);

// Starts each listed application that can be executed, once each, in list order.
// Returns the executables started.
std::vector<std::filesystem::path> LaunchLoginItems(const std::filesystem::path& preferencesFolder,
                                                    ProcessSpawner& spawner);

}  // namespace korvid
