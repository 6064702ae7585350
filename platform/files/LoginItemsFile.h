// SPDX-License-Identifier: MIT
// The user's login items: applications started at every login of the user.
//
// They live in "loginWindow.plist" in the user's Preferences folder: an XML property
// list whose root dictionary holds, under "AutoLaunchedApplicationDictionary", an array
// of dictionaries with "Path" (string, the application's full path) and "Hide" (boolean).
#pragma once

namespace korvid {

inline constexpr const char* kLoginItemsFileName = "loginWindow.plist";
inline constexpr const char* kLoginItemsKey = "AutoLaunchedApplicationDictionary";
inline constexpr const char* kLoginItemPathKey = "Path";
inline constexpr const char* kLoginItemHideKey = "Hide";

}  // namespace korvid
