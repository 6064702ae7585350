// SPDX-License-Identifier: MIT
#include "platform/admin/SystemUnits.h"

#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <vector>

#include "platform/admin/PrivilegedRunner.h"

namespace korvid {
namespace {

bool SystemdRuns() { return access("/run/systemd/system", F_OK) == 0; }
bool UdevRuns() { return access("/run/udev/control", F_OK) == 0; }

}  // namespace

bool RunSystemTool(const char* name, std::initializer_list<std::string> arguments, bool quiet) {
  for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
    const std::filesystem::path tool = std::filesystem::path(folder) / name;
    if (access(tool.c_str(), X_OK) != 0) continue;
    const std::vector<std::string> list(arguments);
    int status = -1;
    return SpawnAndWait(tool, list, status, quiet) == noErr && status == 0;
  }
  return false;
}

void StopAndDisableUnit(const std::string& unit) {
  if (!SystemdRuns()) return;
  RunSystemTool("systemctl", {"--quiet", "stop", unit});
  RunSystemTool("systemctl", {"--quiet", "disable", unit});
}

void ReloadUnitsAndRules() {
  if (SystemdRuns()) RunSystemTool("systemctl", {"daemon-reload"});
  if (UdevRuns()) RunSystemTool("udevadm", {"control", "--reload"});
}

}  // namespace korvid
