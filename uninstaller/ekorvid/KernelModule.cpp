// SPDX-License-Identifier: MIT
#include "uninstaller/ekorvid/KernelModule.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace korvid {
namespace fs = std::filesystem;
namespace {

// Runs a program found on PATH, its output dropped; whether it ran and succeeded.
bool RunQuietly(std::initializer_list<std::string> command) {
  std::vector<std::string> storage(command);
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

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
      RunQuietly({"dkms", "remove", "-m", kModuleDkmsName, "-v", name.substr(std::string(kModuleSourcePrefix).size()),
                  "--all"});
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
