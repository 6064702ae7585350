// SPDX-License-Identifier: MIT
#include "platform/files/MainBundle.h"

#include <system_error>

namespace korvid {
namespace fs = std::filesystem;

namespace {
bool gOverridden = false;
std::optional<fs::path> gOverride;

bool IsBundleName(const fs::path& folder) { return folder.extension() == ".app"; }
}  // namespace

std::optional<fs::path> BundleFolderOf(const fs::path& executable) {
  const fs::path folder = executable.parent_path();
  if (IsBundleName(folder)) return folder;
  return std::nullopt;
}

std::optional<fs::path> MainBundleFolder() {
  if (gOverridden) return gOverride;
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return BundleFolderOf(executable);
}

void OverrideMainBundleFolder(std::optional<fs::path> folder) {
  gOverridden = true;
  gOverride = std::move(folder);
}

}  // namespace korvid
