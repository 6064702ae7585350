// SPDX-License-Identifier: MIT
#include "platform/files/FolderLocator.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "platform/files/FileStatus.h"

#ifndef KORVID_INSTALL_PREFIX
#define KORVID_INSTALL_PREFIX "/usr/local"
#endif

namespace korvid {
namespace fs = std::filesystem;

namespace {

fs::path CurrentHome() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

}  // namespace

OSStatus MakeFolders(const fs::path& folder, unsigned mode) {
  std::error_code error;
  std::vector<fs::path> missing;
  for (fs::path at = folder; !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
    if (mkdir(at->c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return FileStatusFromErrno(errno);
  }
  return fs::is_directory(folder, error) ? noErr : dirNFErr;
}

FolderLocator FolderLocator::Default() {
  FolderLocator locator;
  locator.prefix_ = KORVID_INSTALL_PREFIX;
  locator.systemLibrary_ = "/usr/lib/korvid";
  locator.varLib_ = "/var/lib/korvid";
  locator.users_ = "/home";
  locator.chewable_ = "/var/tmp/korvid-chewable";
  locator.home_ = CurrentHome();
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the base-directory rules say.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') {
    locator.userPreferences_ = fs::path(config) / "korvid";
  } else {
    locator.userPreferences_ = PreferencesFolderForHome(locator.home_);
  }
  return locator;
}

FolderLocator FolderLocator::RootedAt(const fs::path& root) {
  FolderLocator locator;
  locator.prefix_ = root / "usr/local";
  locator.systemLibrary_ = root / "usr/lib/korvid";
  locator.varLib_ = root / "var/lib/korvid";
  locator.users_ = root / "home";
  locator.chewable_ = root / "var/tmp/korvid-chewable";
  locator.home_ = root / "home/user";
  locator.userPreferences_ = PreferencesFolderForHome(locator.home_);
  return locator;
}

fs::path FolderLocator::PreferencesFolderForHome(const fs::path& home) {
  return home / ".config/korvid";
}

fs::path FolderLocator::LibraryFolderForHome(const fs::path& home) {
  return home / ".local/lib/korvid";
}

bool FolderLocator::Map(FolderDomain domain, FolderType type, fs::path& folder) const {
  const bool user = domain == kUserDomain || domain == kOnSystemDisk;
  const bool local = domain == kLocalDomain;
  const bool system = domain == kSystemDomain;
  const bool machine = local || system;
  const fs::path localLibrary = prefix_ / "lib/korvid";

  switch (type) {
    case kPreferencesFolderType:
      if (!user) return false;
      folder = userPreferences_;
      return true;
    case kDomainLibraryFolderType:
    case kPreferencePanesFolderType: {
      fs::path library;
      if (local) {
        library = localLibrary;
      } else if (system) {
        library = systemLibrary_;
      } else if (domain == kUserDomain) {
        library = LibraryFolderForHome(home_);
      } else {
        return false;
      }
      folder = type == kDomainLibraryFolderType ? library : library / "PreferencePanes";
      return true;
    }
    case kKernelExtensionsFolderType:
      if (!machine) return false;
      folder = localLibrary / "Extensions";
      return true;
    case kReceiptsFolderType:
      if (!machine) return false;
      folder = varLib_ / "receipts";
      return true;
    case kApplicationsFolderType:
      if (!machine) return false;
      folder = localLibrary / "Applications";
      return true;
    case kUsersFolderType:
      if (!machine) return false;
      folder = users_;
      return true;
    case kChewableItemsFolderType:
      if (!machine) return false;
      folder = chewable_;
      return true;
    default:
      return false;
  }
}

OSStatus FolderLocator::FindFolder(FolderDomain domain, FolderType type, bool createFolder,
                                   fs::path& folder) const {
  fs::path candidate;
  if (!Map(domain, type, candidate)) return fnfErr;
  std::error_code error;
  if (fs::is_directory(candidate, error)) {
    folder = std::move(candidate);
    return noErr;
  }
  if (!createFolder) return error && error.value() != ENOENT ? FileStatusFromErrno(error.value()) : fnfErr;
  // A user's own folders are private to the user when this makes them (as the XDG base
  // directory rules ask for the folders below $XDG_CONFIG_HOME).
  const bool userFolder = domain == kUserDomain || domain == kOnSystemDisk;
  if (OSStatus status = MakeFolders(candidate, userFolder ? 0700 : 0777); status != noErr) return status;
  if (!fs::is_directory(candidate, error)) return dirNFErr;
  folder = std::move(candidate);
  return noErr;
}

}  // namespace korvid
