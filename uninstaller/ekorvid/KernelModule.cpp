// SPDX-License-Identifier: MIT
#include "uninstaller/ekorvid/KernelModule.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <system_error>

#include "platform/admin/SystemUnits.h"

namespace korvid {
namespace fs = std::filesystem;

int RemoveKernelModule(const fs::path& root) {
  std::error_code ec;
  const bool onSystem = fs::equivalent(root, "/", ec);
  int removed = 0;
  for (const auto& entry : fs::directory_iterator(root / "usr/src", ec)) {
    const std::string name = entry.path().filename();
    if (name.rfind(kModuleSourcePrefix, 0) != 0) continue;
    std::error_code linkError;
    if (entry.is_symlink(linkError)) {  // not ours: removed as a link, its target untouched
      fs::remove(entry.path(), linkError);
      continue;
    }
    if (onSystem) {
      const std::string version = name.substr(std::string(kModuleSourcePrefix).size());
      RunSystemTool("dkms", {"remove", "-m", kModuleDkmsName, "-v", version, "--all"}, /*quiet=*/true);
    }
    std::error_code removeError;
    if (fs::remove_all(entry.path(), removeError) != static_cast<std::uintmax_t>(-1) && !removeError) ++removed;
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
