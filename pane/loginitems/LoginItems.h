// SPDX-License-Identifier: MIT
// Login item registration: makes an application start at every login of the user by
// editing the user's login items file (platform/files/LoginItemsFile.h).
//
// Each call reads the whole file, changes the list in memory and writes the whole
// document back, keeping every other key, element and value as it was. The edit holds
// an advisory lock from the read to the write, and the write replaces the file
// atomically. Results are 0 or a status code (platform/Status.h).
#pragma once

#include <cstdint>

#include "platform/Status.h"
#include "platform/files/FolderLocator.h"

namespace korvid {

// The most entries one call handles; later matches stay for a later call.
inline constexpr std::size_t kLoginItemMaxMatches = 16;

// Registers `itemPath` (required) as a login item of the current user.
//
// An entry whose "Path" equals `itemPath` ignoring case is the item itself; one whose
// "Path" ends with the item's last path component, or with `otherSuffix` (optional),
// is a namesake (both tests case-sensitive, not anchored at "/"). With exactly one
// match that is the item itself nothing is written. Otherwise a new entry {"Hide" =
// hide != 0, "Path" = itemPath} is appended when nothing matched or when only
// namesakes matched and `replace` is 0; else it takes the place of the first match and
// the other matches are removed. `foundFlag` (optional) receives 1 if the item itself
// was listed, else 0.
//
// paramErr: no or empty item path. ioErr: the item path or other suffix is not text a
// property list can hold. resNotFound: the file cannot be read, or its root is not a
// dictionary, or its "AutoLaunchedApplicationDictionary" is not an array (the file then
// stays as it was). An empty or damaged file is replaced by a new list holding the item.
OSStatus AddLoginItem(const char* itemPath, const char* otherSuffix, std::uint16_t hide,
                      std::uint16_t replace, std::uint16_t* foundFlag);
OSStatus AddLoginItem(const FolderLocator& folders, const char* itemPath, const char* otherSuffix,
                      std::uint16_t hide, std::uint16_t replace, std::uint16_t* foundFlag);

// Whether `itemPath` lies in a folder the installation puts applications in: a
// preference-pane folder (system, local or the user's) or an applications folder. Paths
// are compared after resolving "..", symbolic links and the like.
bool IsInstalledLocation(const FolderLocator& folders, const std::filesystem::path& itemPath);

// AddLoginItem (replace 1, no other suffix, not hidden) for an installed application only:
// an item anywhere else (a build tree, a copy in the downloads) would start at every login
// from a place that goes away, so it is refused with paramErr and the list is not touched.
OSStatus AddInstalledLoginItem(const FolderLocator& folders, const char* itemPath);

// Removes every entry (at most 16 per call) whose "Path" ends with `name` from the
// current user's login items. `count` (optional) receives the number removed.
OSStatus RemoveLoginItem(const char* name, std::uint16_t* count);
OSStatus RemoveLoginItem(const FolderLocator& folders, const char* name, std::uint16_t* count);

// The same for the user whose home folder is `homeFolder`.
OSStatus RemoveLoginItemForUser(const char* homeFolder, const char* name, std::uint16_t* count);

// The worker of both removals, on the login items file in `preferencesFolder`.
// A missing file is created empty; a file that does not parse, or has no list, is
// resNotFound and is not written.
OSStatus RemoveLoginItemInFolder(const char* preferencesFolder, const char* name,
                                 std::uint16_t* count);

}  // namespace korvid
