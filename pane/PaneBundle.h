// SPDX-License-Identifier: MIT
// The pane's bundle folder: "Korvid Tessel.prefPane" holding the pane library, its
// Info.plist and its Resources folder (help pages, the helper application).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace korvid {

class PaneBundle {
 public:
  PaneBundle() = default;
  explicit PaneBundle(std::filesystem::path folder);

  // The bundle of the loaded pane library: the folder that holds the library file.
  static PaneBundle OfLoadedLibrary();

  const std::filesystem::path& Folder() const { return folder_; }
  std::filesystem::path ResourcesFolder() const;
  // "<Resources>/<directory>/<name>.<type>" when that file exists, else nullopt.
  std::optional<std::filesystem::path> PathForResource(const std::string& name, const std::string& type,
                                                       const std::string& directory) const;
  // A string of the bundle's Info.plist (its root dictionary), nullopt when the file, the
  // key or a string value is missing.
  std::optional<std::string> InfoString(const std::string& key) const;

 private:
  std::filesystem::path folder_;
};

}  // namespace korvid
