// SPDX-License-Identifier: MIT
// Items of the file system held by descriptor, for code that works as root in folders
// that users own (the eraser tool).
//
// A FolderRef is an open folder. An ItemRef is one entry of a folder: the folder's
// descriptor and the entry's name (or no name: the folder itself). Every operation on an
// item works relative to the descriptor it already holds and never follows a symbolic
// link: a link is an item of its own kind, removed as a link; a folder is entered only
// with O_NOFOLLOW | O_DIRECTORY. So whatever a user renames or swaps for a link while
// an operation runs, nothing outside the folder first opened is reached through it.
#pragma once

#include <time.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Status.h"

namespace korvid {

// An open folder descriptor, closed with its last reference.
class FolderRef {
 public:
  FolderRef() = default;
  // Opens a folder found by the folder map. Its own path may go through links (the
  // system's folders are set up by the administrator); everything below it does not.
  static OSStatus Open(const std::filesystem::path& folder, FolderRef& out);

  bool Valid() const { return fd_ != nullptr; }
  int Fd() const { return fd_ ? *fd_ : -1; }
  // The path the folder was reached by (for messages and length checks only; never
  // opened again).
  const std::filesystem::path& Path() const { return path_; }

 private:
  friend OSStatus OpenFolderItem(const struct ItemRef& item, FolderRef& out);
  static FolderRef Adopt(int fd, std::filesystem::path path);
  std::shared_ptr<const int> fd_;
  std::filesystem::path path_;
};

enum class ItemKind { kFolder, kFile, kLink, kOther };

struct ItemInfo {
  ItemKind kind = ItemKind::kOther;
  timespec modified{};  // content-modification date
  std::uint32_t owner = 0;
  std::uint32_t mode = 0;  // permission bits
  std::uint64_t size = 0;  // a file's length in bytes
  // Where the item is mounted: the file system it is on and, where the kernel tells
  // (statx, Linux 5.8), the mount it belongs to (0 when unknown). A mount point, a bind
  // mount of a folder or file of the same file system included, differs from its parent
  // in one.
  std::uint64_t device = 0;
  std::uint64_t mountId = 0;
};

// The user the calling process acts as (its effective user).
std::uint32_t CallerUserID();

struct ItemRef {
  FolderRef folder;  // the folder holding the item
  std::string name;  // empty: the folder itself

  bool Valid() const { return folder.Valid(); }
  std::filesystem::path Path() const { return name.empty() ? folder.Path() : folder.Path() / name; }
};

// Looks the item up without following a link. fnfErr if there is no such item.
OSStatus GetItemInfo(const ItemRef& item, ItemInfo& info);

// Opens the item as a folder, never through a link: dirNFErr when it is not a folder
// (a file, a link, or swapped for one), fnfErr when it is gone.
OSStatus OpenFolderItem(const ItemRef& item, FolderRef& out);

// The names in a folder (without "." and ".."), in the order the folder lists them.
OSStatus ListFolder(const FolderRef& folder, std::vector<std::string>& names);

// Removes one entry: a folder (which must be empty) when `asFolder`, else a file or
// link. A link is removed as a link.
OSStatus RemoveItem(const ItemRef& item, bool asFolder);

// Sets the item's modification date (access date unchanged); a link's own date.
OSStatus SetModificationDate(const ItemRef& item, const timespec& date);

// Renames the item to `newName` in `destination`, failing with dupFNErr when that name
// is taken (never replacing anything), diffVolErr when the destination is on another
// file system.
OSStatus RenameItem(const ItemRef& item, const FolderRef& destination, std::string_view newName);

// Takes write permission away from the folder's group and others.
OSStatus RestrictFolder(const FolderRef& folder);

// Reads a whole file (never through a link). memFullErr when it is larger than `limit`.
OSStatus ReadFileData(const ItemRef& item, std::vector<std::uint8_t>& data, std::uint64_t limit);

// Replaces the item with a new file holding `data` (mode `mode`): written under a
// temporary name in the same folder, synced, then renamed over the item, so a reader sees
// the old file or the new one, never a part. Never writes through a link.
OSStatus WriteFileData(const ItemRef& item, std::span<const std::uint8_t> data, std::uint32_t mode);

// The target text of a link.
OSStatus ReadLinkTarget(const ItemRef& item, std::string& target);

// A single name for an entry: not empty, no "/", not "." or "..". bdNamErr otherwise.
OSStatus CheckItemName(std::string_view name);

}  // namespace korvid
