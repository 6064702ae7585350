// SPDX-License-Identifier: MIT
// Where the system's folders are: (domain, folder type) -> directory.
//
// The folders a Korvid installation uses, by domain and four-char folder type:
//   user Preferences ('pref', kOnSystemDisk or kUserDomain)  $XDG_CONFIG_HOME/korvid
//                                                             (default ~/.config/korvid)
//   domain library   ('dlib')   local <prefix>/lib/korvid, system /usr/lib/korvid,
//                               user ~/.local/lib/korvid
//   preference panes ('ppan')   the domain library folder + "/PreferencePanes"
//   extensions       ('kext')   <prefix>/lib/korvid/Extensions (local and system)
//   receipts         ('rcpt')   /var/lib/korvid/receipts (local and system)
//   applications     ('apps')   <prefix>/lib/korvid/Applications (local and system)
//   users            ('usrs')   /home (local and system)
//   chewable items   ('flnt')   /var/tmp/korvid-chewable (local and system), emptied at boot
// For a home folder H, H/.config/korvid stands for that user's Preferences folder and
// H/.local/lib/korvid for that user's library folder.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/FourCC.h"
#include "platform/Status.h"

namespace korvid {

using FolderDomain = std::int16_t;
inline constexpr FolderDomain kOnSystemDisk = -32768;
inline constexpr FolderDomain kSystemDomain = -32766;
inline constexpr FolderDomain kLocalDomain = -32765;
inline constexpr FolderDomain kUserDomain = -32763;

using FolderType = std::uint32_t;
inline constexpr FolderType kPreferencesFolderType = FourCC("pref");
inline constexpr FolderType kPreferencePanesFolderType = FourCC("ppan");
inline constexpr FolderType kKernelExtensionsFolderType = FourCC("kext");
inline constexpr FolderType kReceiptsFolderType = FourCC("rcpt");
inline constexpr FolderType kDomainLibraryFolderType = FourCC("dlib");
inline constexpr FolderType kUsersFolderType = FourCC("usrs");
inline constexpr FolderType kApplicationsFolderType = FourCC("apps");
inline constexpr FolderType kChewableItemsFolderType = FourCC("flnt");

inline constexpr bool kDontCreateFolder = false;
inline constexpr bool kCreateFolder = true;

class FolderLocator {
 public:
  // The folders of this machine and of the current user: the install prefix chosen at
  // build time, $HOME (or the password database) and $XDG_CONFIG_HOME.
  static FolderLocator Default();

  // Every folder below `root`, as if `root` were "/": the prefix is root/usr/local and
  // the current user's home folder is root/home/user. For tests.
  static FolderLocator RootedAt(const std::filesystem::path& root);

  // Finds the folder of `type` in `domain`. A missing folder is fnfErr unless
  // `createFolder` is set, in which case it is made (with its parents). An unknown
  // domain or type is fnfErr.
  OSStatus FindFolder(FolderDomain domain, FolderType type, bool createFolder,
                      std::filesystem::path& folder) const;

  // The current user's home folder.
  const std::filesystem::path& HomeFolder() const { return home_; }

  // The current user's Preferences folder, whether or not it exists yet.
  const std::filesystem::path& UserPreferencesFolder() const { return userPreferences_; }

  // The Preferences folder of the user whose home folder is `home`.
  static std::filesystem::path PreferencesFolderForHome(const std::filesystem::path& home);
  // The library folder (holding "PreferencePanes") of the user whose home is `home`.
  static std::filesystem::path LibraryFolderForHome(const std::filesystem::path& home);

 private:
  FolderLocator() = default;
  bool Map(FolderDomain domain, FolderType type, std::filesystem::path& folder) const;

  std::filesystem::path prefix_;         // /usr/local
  std::filesystem::path systemLibrary_;  // /usr/lib/korvid
  std::filesystem::path varLib_;         // /var/lib/korvid
  std::filesystem::path users_;          // /home
  std::filesystem::path chewable_;       // /var/tmp/korvid-chewable
  std::filesystem::path home_;
  std::filesystem::path userPreferences_;
};

// Makes `folder` and any missing parents, each with `mode` (less the umask). noErr
// when the folder exists afterwards.
OSStatus MakeFolders(const std::filesystem::path& folder, unsigned mode);

}  // namespace korvid
