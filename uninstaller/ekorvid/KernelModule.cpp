// SPDX-License-Identifier: MIT
#include "uninstaller/ekorvid/KernelModule.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "platform/admin/SystemUnits.h"
#include "platform/files/ItemRef.h"
#include "uninstaller/ekorvid/Eraser.h"

namespace korvid {
namespace fs = std::filesystem;

int RemoveKernelModule(const fs::path& root) {
  std::error_code ec;
  const bool onSystem = fs::equivalent(root, "/", ec);
  int removed = 0;
  FolderRef sources;
  std::vector<std::string> names;
  if (FolderRef::Open(root / "usr/src", sources) == noErr) ListFolder(sources, names);
  for (const std::string& name : names) {
    if (name.rfind(kModuleSourcePrefix, 0) != 0) continue;
    const ItemRef source{sources, name};
    ItemInfo info;
    if (GetItemInfo(source, info) != noErr) continue;
    if (info.kind == ItemKind::kFolder && onSystem) {
      const std::string version = name.substr(std::string(kModuleSourcePrefix).size());
      RunSystemTool("dkms", {"remove", "-m", kModuleDkmsName, "-v", version, "--all"}, /*quiet=*/true);
    }
    // As every folder of ours: never through a link (a link goes, its target stays), and
    // never onto another file system.
    if (DeleteObjectTree(source) == noErr) ++removed;
  }
  if (!onSystem) return removed;
  // Unloading gives the mouse back to hid-generic; a Tessel left without a driver (the
  // kernel's rescan failed) is bound to it by hand so that it keeps working.
  ::syscall(SYS_delete_module, "hid_korvid_tessel", O_NONBLOCK);
  for (const auto& entry : fs::directory_iterator("/sys/bus/hid/devices", ec)) {
    const std::string name = entry.path().filename();
    if (name.find(":3A7C:0D51.") == std::string::npos || fs::exists(entry.path() / "driver")) continue;
    const int fd = ::open("/sys/bus/hid/drivers/hid-generic/bind", O_WRONLY | O_CLOEXEC);
    if (fd < 0) break;
    if (::write(fd, name.data(), name.size()) < 0) {}
    ::close(fd);
  }
  return removed;
}

}  // namespace korvid
