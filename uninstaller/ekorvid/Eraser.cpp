// SPDX-License-Identifier: MIT
#include "uninstaller/ekorvid/Eraser.h"
#include "uninstaller/ekorvid/KernelModule.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <system_error>

#include "platform/admin/SystemUnits.h"
#include "uninstaller/MakeRefInFolder.h"

#ifndef KORVID_INSTALL_PREFIX
#define KORVID_INSTALL_PREFIX "/usr/local"
#endif
// Where the installer puts the login-items launcher and its autostart entry, below the
// install prefix.
#ifndef KORVID_SESSION_LAUNCHER
#define KORVID_SESSION_LAUNCHER "libexec/korvid-session-launcher"
#endif
#ifndef KORVID_SESSION_LAUNCHER_ENTRY
#define KORVID_SESSION_LAUNCHER_ENTRY "share/korvid/autostart/korvid-session-launcher.desktop"
#endif

namespace korvid {
namespace fs = std::filesystem;

std::function<void(const ItemRef&)> gBeforeEnteringFolder;

namespace {

// Finds the folder and opens it; the item named in it is then reached by descriptor.
OSStatus FindFolderItem(const EraserContext& context, FolderDomain domain, FolderType type,
                        bool create, ItemRef& folder) {
  fs::path path;
  if (const OSStatus status = context.folders.FindFolder(domain, type, create, path); status != noErr) {
    return status;
  }
  FolderRef opened;
  if (const OSStatus status = FolderRef::Open(path, opened); status != noErr) return status;
  folder = ItemRef{std::move(opened), {}};
  return noErr;
}

// diffVolErr, said on stderr, when `info` (of the item at `path`) is on another file
// system or mount than `parent`.
OSStatus OnFileSystemOf(const fs::path& path, const ItemInfo& info, const ItemInfo& parent) {
  if (info.device == parent.device && info.mountId == parent.mountId) return noErr;
  std::fprintf(stderr, "ekorvid: %s is on another file system; left in place\n", path.c_str());
  return diffVolErr;
}

// The same for an opened folder (asked of the folder as opened, so what is entered is
// what was checked).
OSStatus OnFileSystemOf(const FolderRef& opened, const ItemInfo& parent) {
  ItemInfo info;
  if (const OSStatus status = GetItemInfo(ItemRef{opened, {}}, info); status != noErr) return status;
  return OnFileSystemOf(opened.Path(), info, parent);
}

// Like `rm --one-file-system`: a folder on another file system or mount than its parent
// (a mount point, bind mounts included) is not entered and stays with everything below
// it, and a file mounted there (a bind mount of one file) stays too; the walk goes on
// with their siblings and ends with diffVolErr, so no folder above them counts as deleted.
OSStatus DeleteContentsOf(const FolderRef& folder, int depth) {
  if (depth > kMaxTreeDepth) return ioErr;
  ItemInfo here;
  if (const OSStatus status = GetItemInfo(ItemRef{folder, {}}, here); status != noErr) return status;
  std::vector<std::string> names;
  if (const OSStatus status = ListFolder(folder, names); status != noErr) return status;
  OSStatus kept = noErr;
  for (const std::string& name : names) {
    const ItemRef child{folder, name};
    ItemInfo info;
    const OSStatus found = GetItemInfo(child, info);
    if (found == fnfErr) continue;  // gone meanwhile
    if (found != noErr) return found;
    if (info.kind != ItemKind::kFolder) {
      if (OnFileSystemOf(child.Path(), info, here) == diffVolErr) {
        kept = diffVolErr;
        continue;
      }
      if (const OSStatus status = RemoveItem(child, false); status != noErr) return status;
      continue;
    }
    if (gBeforeEnteringFolder) gBeforeEnteringFolder(child);
    FolderRef inner;
    const OSStatus opened = OpenFolderItem(child, inner);
    if (opened == dirNFErr) {
      // Swapped for a link or a file since it was looked at: removed as such, not entered.
      if (const OSStatus status = RemoveItem(child, false); status != noErr) return status;
      continue;
    }
    if (opened != noErr) return opened;
    const OSStatus sameFileSystem = OnFileSystemOf(inner, here);
    if (sameFileSystem == diffVolErr) {
      kept = diffVolErr;
      continue;
    }
    if (sameFileSystem != noErr) return sameFileSystem;
    const OSStatus emptied = DeleteContentsOf(inner, depth + 1);
    if (emptied == diffVolErr) {
      kept = diffVolErr;
      continue;
    }
    if (emptied != noErr) return emptied;
    if (const OSStatus status = RemoveItem(child, true); status != noErr) return status;
  }
  return kept;
}

// A date as the file system's catalogue keeps it: whole seconds and 1/65536 s.
struct CatalogDate {
  std::int64_t seconds = 0;
  std::uint16_t fraction = 0;
  friend bool operator==(const CatalogDate&, const CatalogDate&) = default;
};

CatalogDate ToCatalogDate(const timespec& time) {
  return {static_cast<std::int64_t>(time.tv_sec),
          static_cast<std::uint16_t>((static_cast<std::int64_t>(time.tv_nsec) * 65536) / 1000000000)};
}

timespec FromCatalogDate(const CatalogDate& date) {
  // Rounded up, so that reading the date back gives the same fraction.
  const std::int64_t nanoseconds = (static_cast<std::int64_t>(date.fraction) * 1000000000 + 65535) / 65536;
  return timespec{static_cast<time_t>(date.seconds), static_cast<long>(nanoseconds)};
}

timespec SystemNow() {
  timespec now{};
  std::timespec_get(&now, TIME_UTC);
  return now;
}

bool PathWithin(const fs::path& path, const fs::path& folder) {
  const fs::path normal = path.lexically_normal();
  const fs::path base = folder.lexically_normal();
  auto it = normal.begin();
  for (const auto& piece : base) {
    if (piece.empty()) continue;  // a trailing separator
    if (it == normal.end() || *it != piece) return false;
    ++it;
  }
  return true;
}

}  // namespace

std::vector<fs::path> LinkFoldersBelow(const fs::path& root, const fs::path& prefix) {
  const fs::path local = root / prefix.relative_path();
  return {root / "etc/systemd/system",          root / "etc/udev/rules.d",
          root / "usr/share/polkit-1/actions",  root / "etc/xdg/autostart",
          local / "share/applications",         root / "etc/X11/xorg.conf.d",
          local / "bin",                        local / "share/man/man1",
          local / "share/bash-completion/completions", local / "share/icons/hicolor/scalable/apps",
          local / "share/metainfo"};
}

void AddInstalledExtras(EraserContext& context, const fs::path& prefix) {
  context.looseFiles = {prefix / KORVID_SESSION_LAUNCHER, prefix / KORVID_SESSION_LAUNCHER_ENTRY};
  const fs::path library = prefix / "lib/korvid";
  const fs::path entries = (prefix / KORVID_SESSION_LAUNCHER_ENTRY).parent_path();
  context.madeFolders = {library / "Applications/Utilities", library / "Applications",
                         library / "Extensions",             library / "PreferencePanes",
                         library,                            "/usr/lib/korvid/PreferencePanes",
                         "/usr/lib/korvid",                  "/var/lib/korvid/receipts",
                         "/var/lib/korvid",                  entries,
                         entries.parent_path()};
  context.bootRule = "/etc/tmpfiles.d/korvid-tessel.conf";
}

EraserContext SystemEraserContext() {
  EraserContext context{.folders = FolderLocator::Default(),
                        .linkFolders = LinkFoldersBelow("/", KORVID_INSTALL_PREFIX),
                        .systemRoot = "/",
                        .now = SystemNow};
  AddInstalledExtras(context, KORVID_INSTALL_PREFIX);
  context.stopDriver = [] { StopAndDisableUnit("korvid-tessel-driver.service"); };
  context.reloadSystem = ReloadUnitsAndRules;
  return context;
}

OSStatus DeleteFolderContents(const ItemRef& folder) {
  FolderRef opened;
  if (const OSStatus status = OpenFolderItem(folder, opened); status != noErr) return status;
  if (!folder.name.empty()) {
    ItemInfo parent;
    if (const OSStatus status = GetItemInfo(ItemRef{folder.folder, {}}, parent); status != noErr) return status;
    if (const OSStatus status = OnFileSystemOf(opened, parent); status != noErr) return status;
  }
  return DeleteContentsOf(opened, 0);
}

OSStatus DeleteObjectTree(const ItemRef& folder) {
  if (!folder.Valid() || folder.name.empty()) return paramErr;
  ItemInfo info;
  if (const OSStatus status = GetItemInfo(folder, info); status != noErr) return status;
  if (info.kind == ItemKind::kLink) {
    // A link where a folder should be: the link goes, its target stays untouched.
    RemoveItem(folder, false);
    return dirNFErr;
  }
  if (const OSStatus status = DeleteFolderContents(folder); status != noErr) return status;
  return RemoveItem(folder, true);
}

OSStatus TouchAndNotify(const ItemRef& item, const EraserClock& now) {
  ItemInfo info;
  if (const OSStatus status = GetItemInfo(item, info); status != noErr) return status;
  const CatalogDate stored = ToCatalogDate(info.modified);
  CatalogDate date = ToCatalogDate(now ? now() : SystemNow());
  if (date == stored) date.seconds += 1;
  const timespec written = FromCatalogDate(date);
  if (SetModificationDate(item, written) != noErr) return noErr;
  // Watchers of a folder see its own date change; for a file, its folder's.
  if (info.kind != ItemKind::kFolder && !item.name.empty()) {
    SetModificationDate(ItemRef{item.folder, {}}, written);
  }
  return noErr;
}

OSStatus DeleteItemInFolder(EraserContext& context, FolderDomain domain, FolderType type, const char* name) {
  ItemRef folder;
  if (const OSStatus status = FindFolderItem(context, domain, type, kDontCreateFolder, folder); status != noErr) {
    return Widen16(status);
  }
  ItemRef item;
  if (const OSStatus status = MakeRefInFolder(&folder, name, &item); status != noErr) return Widen16(status);
  return Widen16(DeleteObjectTree(item));
}

OSStatus TouchItemInFolder(EraserContext& context, FolderDomain domain, FolderType type, const char* name) {
  ItemRef folder;
  if (const OSStatus status = FindFolderItem(context, domain, type, kDontCreateFolder, folder); status != noErr) {
    return Widen16(status);
  }
  ItemRef item;
  if (const OSStatus status = MakeRefInFolder(&folder, name, &item); status != noErr) return Widen16(status);
  return Widen16(TouchAndNotify(item, context.now));
}

namespace {

OSStatus IterateLevel(const ItemRef& folder, int level, int maxLevels, bool wantNames,
                      const IterateFolderCallback& callback) {
  if (level >= maxLevels) return noErr;
  FolderRef opened;
  if (const OSStatus status = OpenFolderItem(folder, opened); status != noErr) return status;
  std::vector<std::string> names;
  if (const OSStatus status = ListFolder(opened, names); status != noErr) return status;
  for (const std::string& name : names) {
    const ItemRef child{opened, name};
    ItemInfo info;
    if (GetItemInfo(child, info) != noErr) continue;  // gone meanwhile
    if (info.kind == ItemKind::kFolder && maxLevels > level + 1) {
      if (const OSStatus status = IterateLevel(child, level + 1, maxLevels, wantNames, callback);
          status != noErr) {
        return status;
      }
    }
    // The names were read before the walk, so the folder is never reported as changed.
    if (callback(false, level, info, child, wantNames ? &name : nullptr)) return 1;
  }
  return noErr;
}

}  // namespace

OSStatus IterateFolder(const ItemRef& folder, int maxLevels, bool wantNames,
                       const IterateFolderCallback& callback) {
  if (!callback) return paramErr;
  return IterateLevel(folder, 0, maxLevels, wantNames, callback);
}

int RemoveLinksInto(const EraserContext& context, const fs::path& bundle) {
  std::error_code error;
  if (fs::symlink_status(bundle, error).type() != fs::file_type::not_found) return 0;
  int removed = 0;
  for (const fs::path& linkFolder : context.linkFolders) {
    FolderRef folder;
    if (FolderRef::Open(linkFolder, folder) != noErr) continue;
    std::vector<std::string> names;
    if (ListFolder(folder, names) != noErr) continue;
    for (const std::string& name : names) {
      const ItemRef link{folder, name};
      ItemInfo info;
      std::string target;
      if (GetItemInfo(link, info) != noErr || info.kind != ItemKind::kLink) continue;
      if (ReadLinkTarget(link, target) != noErr || target.empty()) continue;
      // Targets name the installed system; below a root they are read below it.
      const fs::path targetPath(target);
      const fs::path reached = targetPath.is_absolute() ? context.systemRoot / targetPath.relative_path()
                                                        : linkFolder / targetPath;
      if (PathWithin(reached, bundle) && RemoveItem(link, false) == noErr) ++removed;
    }
  }
  return removed;
}

namespace {

// Moves the uninstaller into the chewable-items folder (steps 7 to 9). Failures are
// silent: the tool's status is 0 from here on.
void MoveUninstaller(EraserContext& context) {
  ItemRef applications;
  ItemRef application;
  if (FindFolderItem(context, kLocalDomain, kApplicationsFolderType, kDontCreateFolder, applications) != noErr ||
      MakeRefInFolder(&applications, kUninstallerPath, &application) != noErr) {
    return;
  }
  fs::path chewablePath;
  if (context.folders.FindFolder(kLocalDomain, kChewableItemsFolderType, kCreateFolder, chewablePath) != noErr) {
    return;
  }
  // The chewable-items folder sits in a folder every user may write to: it is used only
  // if it is a real folder of ours that no one else may change.
  FolderRef chewableParent;
  FolderRef chewable;
  ItemInfo chewableInfo;
  if (FolderRef::Open(chewablePath.parent_path(), chewableParent) != noErr ||
      OpenFolderItem(ItemRef{chewableParent, chewablePath.filename().string()}, chewable) != noErr ||
      GetItemInfo(ItemRef{chewable, {}}, chewableInfo) != noErr || chewableInfo.owner != CallerUserID() ||
      RestrictFolder(chewable) != noErr) {
    return;
  }

  const std::string_view path = kUninstallerPath;
  const std::string piece(path.substr(path.rfind('/') + 1));
  ItemInfo existing;
  if (!piece.empty() && GetItemInfo(ItemRef{chewable, piece}, existing) == noErr) {
    for (int n = 1; n <= kMaxRenameNumber; ++n) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, " %d", n);
      if (RenameItem(ItemRef{chewable, piece}, chewable, piece + suffix) == noErr) break;
    }
  }
  const OSStatus moved = RenameItem(application, chewable, piece);
  if (moved == diffVolErr) {
    // The chewable-items folder is on another file system: nothing can be moved there,
    // so the uninstaller is deleted in place (a running program keeps its open files).
    DeleteObjectTree(application);
  }
  RemoveLinksInto(context, application.Path());
}

// The installed system's `path` as reached from the context's root.
fs::path BelowRoot(const EraserContext& context, const fs::path& path) {
  return path.is_absolute() ? context.systemRoot / path.relative_path() : path;
}

// The item at the installed system's `path`, reached through its folder (never through a
// link of its own), with what it is. False when it is not there.
bool FindInstalledItem(const EraserContext& context, const fs::path& path, ItemRef& item, ItemInfo& info) {
  const fs::path reached = BelowRoot(context, path);
  FolderRef folder;
  if (FolderRef::Open(reached.parent_path(), folder) != noErr) return false;
  item = ItemRef{folder, reached.filename().string()};
  return GetItemInfo(item, info) == noErr;
}

// Removes the loose files of the install (a link in their place is removed as a link) and
// the links made to them.
void RemoveLooseFiles(const EraserContext& context) {
  for (const fs::path& file : context.looseFiles) {
    ItemRef item;
    ItemInfo info;
    if (FindInstalledItem(context, file, item, info) && info.kind != ItemKind::kFolder) RemoveItem(item, false);
    RemoveLinksInto(context, BelowRoot(context, file));
  }
}

// Removes the folders the installer made that are now empty; a folder holding anything
// (another program's files, a user's) stays.
void RemoveEmptyFolders(const EraserContext& context) {
  for (const fs::path& made : context.madeFolders) {
    ItemRef item;
    ItemInfo info;
    if (FindInstalledItem(context, made, item, info) && info.kind == ItemKind::kFolder) RemoveItem(item, true);
  }
}

// The boot rule that empties the chewable-items folder is replaced by one that removes the
// folder, with the uninstaller waiting in it, and then the rule itself, at the next boot:
// after that nothing of the install is left.
void RetireBootRule(const EraserContext& context) {
  if (context.bootRule.empty()) return;
  fs::path chewable;
  if (context.folders.FindFolder(kLocalDomain, kChewableItemsFolderType, kDontCreateFolder, chewable) != noErr) {
    return;
  }
  ItemRef rule;
  ItemInfo info;
  if (!FindInstalledItem(context, context.bootRule, rule, info) || info.kind != ItemKind::kFile) return;
  const fs::path installed = fs::path("/") / chewable.lexically_relative(context.systemRoot);
  const std::string text =
      "# Korvid Tessel has been uninstalled. At the next boot the uninstaller waiting in the\n"
      "# chewable-items folder is deleted with that folder, and then this rule itself.\n"
      "R! " + installed.string() + "\n" +
      "r! " + context.bootRule.string() + "\n";
  WriteFileData(rule, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0644);
}

// Steps 1 to 3: the driver and the machine's panes, each with the links made for it.
void RemoveBundles(EraserContext& context) {
  struct Bundle {
    FolderDomain domain;
    FolderType type;
    const char* name;
  };
  const Bundle bundles[] = {{kSystemDomain, kKernelExtensionsFolderType, kDriverBundleName},
                            {kLocalDomain, kPreferencePanesFolderType, kPaneBundleName},
                            {kSystemDomain, kPreferencePanesFolderType, kPaneBundleName}};
  for (const Bundle& bundle : bundles) {
    if (DeleteItemInFolder(context, bundle.domain, bundle.type, bundle.name) == noErr) ++context.removalCount;
    fs::path folder;
    if (context.folders.FindFolder(bundle.domain, bundle.type, kDontCreateFolder, folder) == noErr) {
      RemoveLinksInto(context, folder / bundle.name);
    }
  }
  // The kernel module built from the driver's source (not counted: the driver is).
  RemoveKernelModule(context.systemRoot);
}

void RemoveReceipt(EraserContext& context) {
  // Step 4: the receipt (a folder); not counted.
  DeleteItemInFolder(context, kLocalDomain, kReceiptsFolderType, kReceiptName);
  // Step 5: the log beside it, a single item; not counted.
  {
    ItemRef receipts;
    ItemRef log;
    ItemInfo info;
    if (FindFolderItem(context, kLocalDomain, kReceiptsFolderType, kDontCreateFolder, receipts) == noErr &&
        MakeRefInFolder(&receipts, kReceiptLogName, &log) == noErr && GetItemInfo(log, info) == noErr) {
      RemoveItem(log, info.kind == ItemKind::kFolder);
    }
  }
}

void TouchChangedFolders(EraserContext& context) {
  // Steps 6 to 8: the folders that changed get a new date.
  TouchItemInFolder(context, kSystemDomain, kKernelExtensionsFolderType, "");
  TouchItemInFolder(context, kLocalDomain, kDomainLibraryFolderType, kPanesFolderName);
  TouchItemInFolder(context, kSystemDomain, kDomainLibraryFolderType, kPanesFolderName);
}

void RemoveUsersPanes(EraserContext& context) {
  // Step 9: every user's own pane, one level below the users folder.
  {
    ItemRef users;
    if (FindFolderItem(context, kLocalDomain, kUsersFolderType, kDontCreateFolder, users) == noErr) {
      IterateFolder(users, 1, false,
                    [&context](bool containerChanged, int, const ItemInfo&, const ItemRef& item, const std::string*) {
                      if (containerChanged) return false;
                      ItemRef pane;
                      if (MakeRefInFolder(&item, kUserPanePath, &pane) == noErr && DeleteObjectTree(pane) == noErr) {
                        ++context.removalCount;
                      }
                      return false;
                    });
    }
  }
}

}  // namespace

int RunEraser(std::span<const char* const> arguments, EraserContext& context) {
  if (arguments.size() != 2 || arguments[1] == nullptr || std::strcmp(arguments[1], kEraserArgument) != 0) {
    return 0;
  }
  context.removalCount = 0;
  // The driver stops before its bundle goes.
  if (context.stopDriver) context.stopDriver();

  RemoveBundles(context);
  RemoveReceipt(context);
  TouchChangedFolders(context);
  RemoveUsersPanes(context);
  // What the installer put outside the bundles, and the system told of what went.
  RemoveLooseFiles(context);
  if (context.reloadSystem) context.reloadSystem();
  if (context.removalCount == 0) {
    RemoveEmptyFolders(context);
    return fnfErr;
  }
  // Step 10: the uninstaller goes to the chewable-items folder.
  MoveUninstaller(context);
  RetireBootRule(context);
  RemoveEmptyFolders(context);
  return 0;
}

}  // namespace korvid
