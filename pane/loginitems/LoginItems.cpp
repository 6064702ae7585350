// SPDX-License-Identifier: MIT
#include "pane/loginitems/LoginItems.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <sys/stat.h>

#include <QString>
#include <array>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/FileStatus.h"
#include "platform/files/LockedFile.h"
#include "platform/files/LoginItemsFile.h"
#include "platform/files/PropertyList.h"

namespace korvid {
namespace fs = std::filesystem;

namespace {

// Positions of matching entries, ascending, at most kLoginItemMaxMatches.
class MatchList {
 public:
  void Add(std::uint32_t index) { indexes_[count_++] = index; }
  bool Full() const { return count_ == indexes_.size(); }
  std::size_t Count() const { return count_; }
  std::uint32_t operator[](std::size_t at) const { return indexes_[at]; }

 private:
  std::array<std::uint32_t, kLoginItemMaxMatches> indexes_{};
  std::size_t count_ = 0;
};

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal ignoring case, by Unicode case folding.
bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
  }
  return QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()))
             .compare(QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())), Qt::CaseInsensitive) == 0;
}

// The item's name: the text after the last "/" that is not the path's final character
// (so a trailing "/" stays part of the name), or the whole path without such a "/".
std::string_view ItemName(std::string_view path) {
  if (path.size() < 2) return path;
  std::size_t slash = path.rfind('/', path.size() - 2);
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The "Path" of an entry, or nullopt for an element that is no entry or has no string
// "Path" (such elements are skipped and kept).
std::optional<std::string_view> EntryPath(plist_t element) {
  if (element == nullptr || plist_get_node_type(element) != PLIST_DICT) return std::nullopt;
  return StringValue(plist_dict_get_item(element, kLoginItemPathKey));
}

// The login items file, opened, locked and parsed.
struct LoginItemsDocument {
  LockedFile file;
  std::string text;                  // the file's bytes as read
  std::optional<PropertyList> root;  // nullopt: empty or damaged
};

OSStatus OpenLoginItems(const fs::path& folder, LoginItemsDocument& document) {
  if (OSStatus status = document.file.Open(folder / kLoginItemsFileName, LockedFile::IfMissing::kCreateEmpty);
      status != noErr) {
    return status;
  }
  if (document.file.ReadAll(document.text) != noErr) return resNotFound;
  document.root = PropertyList::Parse(document.text);
  return noErr;
}

OSStatus WriteBack(LoginItemsDocument& document) {
  std::optional<std::string> xml = document.root->ToXml();
  if (!xml) return memFullErr;
  return document.file.Replace(*xml);
}

void RemoveMatchesAfterFirst(plist_t array, const MatchList& matches) {
  for (std::size_t k = matches.Count(); k-- > 1;) plist_array_remove_item(array, matches[k]);
}

}  // namespace

OSStatus AddLoginItem(const char* itemPath, const char* otherSuffix, std::uint16_t hide,
                      std::uint16_t replace, std::uint16_t* foundFlag) {
  return AddLoginItem(FolderLocator::Default(), itemPath, otherSuffix, hide, replace, foundFlag);
}

OSStatus AddLoginItem(const FolderLocator& folders, const char* itemPath, const char* otherSuffix,
                      std::uint16_t hide, std::uint16_t replace, std::uint16_t* foundFlag) {
  // An empty path would make every entry a namesake.
  if (itemPath == nullptr || itemPath[0] == '\0') return paramErr;
  const std::string_view path(itemPath);
  std::optional<std::string_view> other;
  if (otherSuffix != nullptr && otherSuffix[0] != '\0') other = otherSuffix;
  if (!IsPropertyListText(path) || (other && !IsPropertyListText(*other))) return ioErr;
  const std::string_view name = ItemName(path);

  bool exact = false;
  const auto finish = [&](OSStatus status) {
    if (foundFlag != nullptr) *foundFlag = exact ? 1 : 0;
    return status;
  };

  // The Preferences folder always exists where login items were invented; here a new
  // user may not have it yet, so it is made.
  fs::path folder;
  if (OSStatus status = folders.FindFolder(kOnSystemDisk, kPreferencesFolderType, kCreateFolder, folder);
      status != noErr) {
    return finish(status);
  }
  LoginItemsDocument document;
  if (OSStatus status = OpenLoginItems(folder, document); status != noErr) return finish(status);
  if (!document.root) {
    // Nothing in it can be read, so the list starts afresh; the old bytes stay beside it
    // for the user to recover by hand (and are not lost if they cannot be kept).
    if (!document.text.empty()) {
      if (OSStatus status = document.file.KeepCopy(kDamagedCopySuffix, document.text); status != noErr) {
        return finish(status);
      }
    }
    document.root = PropertyList::NewDictionary();
  }
  if (!document.root->IsDictionary()) return finish(resNotFound);

  plist_t root = document.root->get();
  plist_t array = plist_dict_get_item(root, kLoginItemsKey);
  if (array == nullptr) {
    plist_dict_set_item(root, kLoginItemsKey, plist_new_array());
    array = plist_dict_get_item(root, kLoginItemsKey);
  } else if (plist_get_node_type(array) != PLIST_ARRAY) {
    return finish(resNotFound);
  }

  MatchList matches;
  const std::uint32_t size = plist_array_get_size(array);
  for (std::uint32_t i = 0; i < size && !matches.Full(); ++i) {
    std::optional<std::string_view> entryPath = EntryPath(plist_array_get_item(array, i));
    if (!entryPath) continue;
    if (EqualIgnoringCase(*entryPath, path)) {
      matches.Add(i);
      exact = true;
    } else if (entryPath->ends_with(name) || (other && entryPath->ends_with(*other))) {
      matches.Add(i);
    }
  }
  if (matches.Count() == 1 && exact) return finish(noErr);  // already registered

  plist_t entry = plist_new_dict();
  if (entry == nullptr) return finish(memFullErr);
  plist_dict_set_item(entry, kLoginItemHideKey, plist_new_bool(hide != 0 ? 1 : 0));
  plist_dict_set_item(entry, kLoginItemPathKey, plist_new_string(itemPath));
  if (matches.Count() == 0 || (!exact && replace == 0)) {
    plist_array_append_item(array, entry);
  } else {
    plist_array_set_item(array, entry, matches[0]);
    RemoveMatchesAfterFirst(array, matches);
  }
  return finish(WriteBack(document));
}

OSStatus RemoveLoginItemInFolder(const char* preferencesFolder, const char* name, std::uint16_t* count) {
  // An empty name would match every entry.
  if (preferencesFolder == nullptr || name == nullptr || name[0] == '\0') return paramErr;
  const std::string_view suffix(name);
  if (!IsPropertyListText(suffix)) return paramErr;

  MatchList matches;
  const auto finish = [&](OSStatus status) {
    if (count != nullptr) *count = static_cast<std::uint16_t>(matches.Count());
    return status;
  };

  LoginItemsDocument document;
  if (OSStatus status = OpenLoginItems(preferencesFolder, document); status != noErr) return finish(status);
  if (!document.root || !document.root->IsDictionary()) return finish(resNotFound);
  plist_t array = plist_dict_get_item(document.root->get(), kLoginItemsKey);
  if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY) return finish(resNotFound);

  const std::uint32_t size = plist_array_get_size(array);
  for (std::uint32_t i = 0; i < size && !matches.Full(); ++i) {
    std::optional<std::string_view> entryPath = EntryPath(plist_array_get_item(array, i));
    if (entryPath && entryPath->ends_with(suffix)) matches.Add(i);
  }
  if (matches.Count() == 0) return finish(noErr);

  for (std::size_t k = matches.Count(); k-- > 0;) plist_array_remove_item(array, matches[k]);
  return finish(WriteBack(document));
}

OSStatus RemoveLoginItem(const char* name, std::uint16_t* count) {
  return RemoveLoginItem(FolderLocator::Default(), name, count);
}

OSStatus RemoveLoginItem(const FolderLocator& folders, const char* name, std::uint16_t* count) {
  if (name == nullptr) return paramErr;
  fs::path folder;
  if (OSStatus status = folders.FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, folder);
      status != noErr) {
    return status;
  }
  return RemoveLoginItemInFolder(folder.c_str(), name, count);
}

OSStatus RemoveLoginItemForUser(const char* homeFolder, const char* name, std::uint16_t* count) {
  if (homeFolder == nullptr || name == nullptr) return paramErr;
  const auto checkFolder = [](const fs::path& folder) -> OSStatus {
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) return FileStatusFromErrno(errno);
    return S_ISDIR(info.st_mode) ? noErr : dirNFErr;
  };
  if (OSStatus status = checkFolder(homeFolder); status != noErr) return status;
  const fs::path folder = FolderLocator::PreferencesFolderForHome(homeFolder);
  if (OSStatus status = checkFolder(folder); status != noErr) return status;
  return RemoveLoginItemInFolder(folder.c_str(), name, count);
}

bool IsInstalledLocation(const FolderLocator& folders, const std::filesystem::path& itemPath) {
  std::error_code error;
  const std::filesystem::path item = std::filesystem::weakly_canonical(std::filesystem::absolute(itemPath), error);
  if (error) return false;
  const std::pair<FolderDomain, FolderType> places[] = {
      {kSystemDomain, kPreferencePanesFolderType}, {kLocalDomain, kPreferencePanesFolderType},
      {kUserDomain, kPreferencePanesFolderType},   {kSystemDomain, kApplicationsFolderType},
      {kLocalDomain, kApplicationsFolderType},
  };
  for (const auto& [domain, type] : places) {
    std::filesystem::path folder;
    if (folders.FindFolder(domain, type, kDontCreateFolder, folder) != noErr) continue;
    folder = std::filesystem::weakly_canonical(folder, error);
    if (error) continue;
    // Below the folder, not the folder itself, compared component by component.
    const auto [end, rest] = std::mismatch(folder.begin(), folder.end(), item.begin(), item.end());
    if (end == folder.end() && rest != item.end()) return true;
  }
  return false;
}

OSStatus AddInstalledLoginItem(const FolderLocator& folders, const char* itemPath) {
  if (itemPath == nullptr || *itemPath == '\0' || !IsInstalledLocation(folders, itemPath)) return paramErr;
  return AddLoginItem(folders, itemPath, nullptr, 0, 1, nullptr);
}

}  // namespace korvid
