// SPDX-License-Identifier: MIT
// The eraser's part for the kernel module hid-korvid-tessel: DKMS forgets it, its source
// goes, the loaded module is unloaded and the mouse is driven by hid-generic again.
#pragma once

#include <filesystem>

namespace korvid {

inline constexpr const char* kModuleSourcePrefix = "korvid-tessel-";  // in /usr/src
inline constexpr const char* kModuleDkmsName = "korvid-tessel";

// Below `root`: for every /usr/src/korvid-tessel-<version>, `dkms remove` (when `root` is
// the system's and dkms is present), then the folder, as DeleteObjectTree deletes (a link
// of that name is removed as a link, its target untouched; a mount below stays). On the system, also unloads the module and binds every
// Tessel left without a HID driver to hid-generic. Returns how many source folders were
// removed.
int RemoveKernelModule(const std::filesystem::path& root);

}  // namespace korvid
