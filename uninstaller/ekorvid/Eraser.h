// SPDX-License-Identifier: MIT
// The eraser tool `ekorvid`: removes the installed pieces of Korvid Tessel. It runs as
// root, started by the uninstaller with the single argument "--runekorv".
//
// Every item is reached through descriptors from the folder the folder map names, and
// no symbolic link is ever followed: a link where a bundle or anything inside it should
// be is removed as a link, never its target; a folder swapped for a link during the walk
// is not entered. The tool deletes nothing but the listed items and the links the
// installer made to them.
#pragma once

#include <time.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/Status.h"
#include "platform/files/FolderLocator.h"
#include "platform/files/ItemRef.h"

namespace korvid {

inline constexpr const char* kEraserArgument = "--runekorv";
inline constexpr const char* kDriverBundleName = "KorvidTessel.kext";
inline constexpr const char* kPaneBundleName = "Korvid Tessel.prefPane";
inline constexpr const char* kReceiptName = "Korvid Tessel.pkg";
inline constexpr const char* kReceiptLogName = "Korvid Tessel Log.rtf";
inline constexpr const char* kPanesFolderName = "PreferencePanes";
// A user's own pane, relative to the user's folder in the users folder (the user's
// library folder is ~/.local/lib/korvid).
inline constexpr const char* kUserPanePath = "/.local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane";
inline constexpr const char* kUninstallerPath = "/Utilities/Uninstall Korvid Tessel.app";
// Renaming an older uninstaller out of the way in the chewable-items folder.
inline constexpr int kMaxRenameNumber = 99;
// Deeper folders than this inside a bundle are not deleted (the deletion fails there).
inline constexpr int kMaxTreeDepth = 128;

using EraserClock = std::function<timespec()>;

struct EraserContext {
  FolderLocator folders;
  // The system folders into which the installer links files of the bundles (systemd
  // units, udev rules, polkit actions, autostart and desktop entries, X11 snippets).
  std::vector<std::filesystem::path> linkFolders;
  // The root against which the links' absolute targets are read ("/" on the system).
  std::filesystem::path systemRoot = "/";
  EraserClock now;
  std::int32_t removalCount = 0;
  // Files the installer put outside the bundles (the login-items launcher and its autostart
  // entry), named as on the installed system; each goes with the links made to it.
  std::vector<std::filesystem::path> looseFiles{};
  // Folders the installer made, innermost first, named as on the installed system; each
  // is removed once it is left empty, never when it holds anything.
  std::vector<std::filesystem::path> madeFolders{};
  // The boot rule that empties the chewable-items folder, named as on the installed
  // system: once the uninstaller waits there, it is replaced by a rule that removes that
  // folder, and then itself, at the next boot. Empty: left alone.
  std::filesystem::path bootRule{};
  // The running system: `stopDriver` stops and disables the driver's unit before its
  // bundle goes (its grab and clone end with it, so the mouse works on its own at once);
  // `reloadSystem` makes systemd and udev forget the removed units and rules. Empty below
  // a test root.
  std::function<void()> stopDriver{};
  std::function<void()> reloadSystem{};
};

// The context of the installed system: the machine's folder map and link folders, the
// loose files and folders of the install, and the running system's steps.
EraserContext SystemEraserContext();
// The link folders below `root` (the system's root "/"), with `prefix` the install prefix.
std::vector<std::filesystem::path> LinkFoldersBelow(const std::filesystem::path& root,
                                                    const std::filesystem::path& prefix);
// What the installer puts outside the bundles, for the install prefix `prefix`: sets the
// context's loose files, made folders and boot rule.
void AddInstalledExtras(EraserContext& context, const std::filesystem::path& prefix);

// The whole tool: checks the command line and runs the ten steps. Returns the exit
// status: 0, or fnfErr (-43) when no counted item was deleted.
int RunEraser(std::span<const char* const> arguments, EraserContext& context);

// The steps' building blocks. Statuses are 16-bit values widened to 32 bits.
OSStatus DeleteItemInFolder(EraserContext& context, FolderDomain domain, FolderType type, const char* name);
OSStatus TouchItemInFolder(EraserContext& context, FolderDomain domain, FolderType type, const char* name);
// Deletes the folder's contents, then the folder. A file is left in place (the contents
// cannot be listed); a link is removed as a link and the result is dirNFErr, since no
// folder was deleted.
OSStatus DeleteObjectTree(const ItemRef& folder);
// Deletes what the folder holds, depth first, stopping at the first failure. It stays on
// the folder's file system: a folder on another one (a mount point) is left in place with
// everything below it, said on stderr, and the result is then diffVolErr.
OSStatus DeleteFolderContents(const ItemRef& folder);
// Writes the current date as the item's modification date (one second later when the
// stored date is the same to the fraction), which is what file-system watchers see; a
// file's parent folder gets the new date too.
OSStatus TouchAndNotify(const ItemRef& item, const EraserClock& now);

// The folder walk: the callback gets (container changed, level, information, item, name
// or null) and returns true to stop the walk.
using IterateFolderCallback =
    std::function<bool(bool containerChanged, int level, const ItemInfo& info, const ItemRef& item,
                       const std::string* name)>;
OSStatus IterateFolder(const ItemRef& folder, int maxLevels, bool wantNames,
                       const IterateFolderCallback& callback);

// Removes, from every link folder, the links that point into `bundle` and no longer reach
// anything (the bundle is gone). Returns how many were removed.
int RemoveLinksInto(const EraserContext& context, const std::filesystem::path& bundle);

// Called by the tree deletion just before it enters a folder it has found; tests use it
// to change the tree in the middle of the walk. Empty in the tool.
extern std::function<void(const ItemRef& folder)> gBeforeEnteringFolder;

}  // namespace korvid
