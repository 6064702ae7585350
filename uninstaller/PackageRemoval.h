// SPDX-License-Identifier: MIT
// Korvid Tessel installed from its Debian packages: the uninstaller asks dpkg whether a
// package owns its own bundle and, if one does, removes the packages through PackageKit
// (which asks for an administrator's password through polkit itself) instead of running
// the eraser, which stays what removes a `make install`.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace korvid {

inline constexpr const char* kProgramPackage = "korvid-tessel";
inline constexpr const char* kModulePackage = "korvid-tessel-dkms";
// A path of the module's package, whatever its version (a dpkg-query pattern).
inline constexpr const char* kModulePackageFiles = "/usr/src/korvid-tessel-*/hid-korvid-tessel.c";

class PackageManager {
 public:
  virtual ~PackageManager() = default;
  // Whether an installed package owns a path matching `pattern` (dpkg-query -S).
  virtual bool Owns(const std::string& pattern) = 0;
  // Removes `packages` in one transaction: 0 when removed, else the failure's status
  // (the package tool's exit status, or -1 when it could not be started).
  virtual int Remove(const std::vector<std::string>& packages) = 0;
};

// dpkg-query for ownership, pkcon (PackageKit's command-line client) for the removal.
class PackageKitManager final : public PackageManager {
 public:
  explicit PackageKitManager(std::filesystem::path dpkgQuery = "/usr/bin/dpkg-query",
                             std::filesystem::path pkcon = "/usr/bin/pkcon")
      : dpkgQuery_(std::move(dpkgQuery)), pkcon_(std::move(pkcon)) {}
  bool Owns(const std::string& pattern) override;
  int Remove(const std::vector<std::string>& packages) override;

 private:
  std::filesystem::path dpkgQuery_;
  std::filesystem::path pkcon_;
};

// The packages to remove when a package owns `bundle` (the uninstaller's own bundle
// folder): the programs' package and, when installed, the module's; none otherwise.
std::vector<std::string> PackagesToRemove(PackageManager& packages, const std::filesystem::path& bundle);

// What the failure tab says when the packages' removal ended with `status`.
std::string PackageRemovalFailureText(int status);

}  // namespace korvid
