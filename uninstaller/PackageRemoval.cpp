// SPDX-License-Identifier: MIT
#include "uninstaller/PackageRemoval.h"

#include "platform/admin/PrivilegedRunner.h"

namespace korvid {

bool PackageKitManager::Owns(const std::string& pattern) {
  const std::string arguments[] = {"--search", pattern};
  int status = 0;
  return SpawnAndWait(dpkgQuery_, arguments, status, /*quiet=*/true) == noErr && status == 0;
}

int PackageKitManager::Remove(const std::vector<std::string>& packages) {
  std::vector<std::string> arguments = {"--noninteractive", "remove"};
  arguments.insert(arguments.end(), packages.begin(), packages.end());
  int status = 0;
  if (SpawnAndWait(pkcon_, arguments, status) != noErr) return -1;
  return status;
}

std::vector<std::string> PackagesToRemove(PackageManager& packages, const std::filesystem::path& bundle) {
  if (!packages.Owns(bundle.string())) return {};
  std::vector<std::string> names = {kProgramPackage};
  if (packages.Owns(kModulePackageFiles)) names.emplace_back(kModulePackage);
  return names;
}

std::string PackageRemovalFailureText(int status) {
  if (status < 0) {
    return "PackageKit's pkcon could not be started, so the packages korvid-tessel and korvid-tessel-dkms "
           "were not removed. Remove them with: sudo apt remove korvid-tessel korvid-tessel-dkms";
  }
  return "PackageKit did not remove the packages korvid-tessel and korvid-tessel-dkms (pkcon ended with status " +
         std::to_string(status) + "). Remove them with: sudo apt remove korvid-tessel korvid-tessel-dkms";
}

}  // namespace korvid
