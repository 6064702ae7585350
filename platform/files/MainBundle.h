// SPDX-License-Identifier: MIT
// The running application's own bundle folder, found from its executable's location:
// the executable sits directly in "Name.app/", as in every bundle we install; its
// resources are in the bundle's "Resources/" folder.
#pragma once

#include <filesystem>
#include <optional>

namespace korvid {

// The bundle folder, or nothing when the executable is not inside a bundle.
std::optional<std::filesystem::path> MainBundleFolder();

// The bundle folder of an executable at `executable`.
std::optional<std::filesystem::path> BundleFolderOf(const std::filesystem::path& executable);

// Makes MainBundleFolder() answer `folder` (nothing: no bundle) from now on; for tests.
void OverrideMainBundleFolder(std::optional<std::filesystem::path> folder);

}  // namespace korvid
