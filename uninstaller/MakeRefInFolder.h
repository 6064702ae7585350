// SPDX-License-Identifier: MIT
// Finding an item below a folder by name or by relative path, shared by the uninstaller
// and the eraser tool.
#pragma once

#include "platform/Status.h"
#include "platform/files/ItemRef.h"

namespace korvid {

// Limits of a relative path: the name is cut to 510 bytes (whole UTF-8 characters), and
// the folder's path and the name together may not exceed 2045 bytes.
inline constexpr std::size_t kMaxRelativeNameBytes = 510;
inline constexpr std::size_t kMaxJoinedPathBytes = 2045;

// Makes the reference of `name` in `folder`:
// - no folder or no `out`: paramErr;
// - no name or an empty one: a copy of the folder reference;
// - a name without a leading "/": a direct child of the folder (fnfErr if absent,
//   bdNamErr for "..", "." or a name holding "/");
// - a name with a leading "/": a path relative to the folder, entered one folder at a
//   time without following links (a link or file on the way is dirNFErr, ".." is
//   bdNamErr); paramErr if nothing is left of the name or the joined path is too long.
// The item itself may be a link: the reference is then to the link.
OSStatus MakeRefInFolder(const ItemRef* folder, const char* name, ItemRef* out);

}  // namespace korvid
