// SPDX-License-Identifier: MIT
#include "uninstaller/MakeRefInFolder.h"

#include <cstring>
#include <string>
#include <string_view>

namespace korvid {

namespace {

// Cuts UTF-8 text to at most `limit` bytes, ending on a whole character.
std::string_view CutToWholeCharacters(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

OSStatus ChildRef(const FolderRef& folder, std::string_view name, ItemRef& out) {
  if (const OSStatus status = CheckItemName(name); status != noErr) return status;
  ItemRef item{folder, std::string(name)};
  ItemInfo info;
  if (const OSStatus status = GetItemInfo(item, info); status != noErr) return status;
  out = std::move(item);
  return noErr;
}

}  // namespace

OSStatus MakeRefInFolder(const ItemRef* folder, const char* name, ItemRef* out) {
  if (folder == nullptr || out == nullptr || !folder->Valid()) return paramErr;
  if (name == nullptr || name[0] == '\0') {
    *out = *folder;
    return noErr;
  }
  FolderRef at;
  if (const OSStatus status = OpenFolderItem(*folder, at); status != noErr) return status;

  if (name[0] != '/') {
    ItemRef found;
    if (const OSStatus status = ChildRef(at, name, found); status != noErr) return status;
    *out = std::move(found);
    return noErr;
  }

  const std::string_view path = CutToWholeCharacters(name, kMaxRelativeNameBytes);
  if (path.empty()) return paramErr;
  if (at.Path().native().size() + path.size() > kMaxJoinedPathBytes) return paramErr;

  // Each folder on the way is entered by descriptor, never through a link; "." and empty
  // pieces stand for the folder itself.
  std::string_view rest = path;
  std::string_view last;
  for (;;) {
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    const std::size_t slash = rest.find('/');
    const std::string_view piece = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (piece == ".") {
      if (rest.find_first_not_of('/') == std::string_view::npos) break;
      continue;
    }
    if (piece == "..") return bdNamErr;
    if (rest.find_first_not_of('/') == std::string_view::npos) {
      last = piece;
      break;
    }
    FolderRef next;
    if (const OSStatus status = OpenFolderItem(ItemRef{at, std::string(piece)}, next); status != noErr) {
      return status;
    }
    at = std::move(next);
  }
  if (last.empty()) {
    *out = ItemRef{at, {}};
    return noErr;
  }
  ItemRef found;
  if (const OSStatus status = ChildRef(at, last, found); status != noErr) return status;
  *out = std::move(found);
  return noErr;
}

}  // namespace korvid
