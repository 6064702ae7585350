// SPDX-License-Identifier: MIT
#include "platform/session/SessionLauncher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files/LoginItemsFile.h"
#include "platform/files/PropertyList.h"

namespace korvid {
namespace fs = std::filesystem;

namespace {

bool IsExecutableFile(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<fs::path> ApplicationExecutable(const fs::path& path) {
  if (path.empty() || !path.is_absolute()) return std::nullopt;
  if (IsExecutableFile(path)) return path;
  std::error_code error;
  if (!fs::is_directory(path, error)) return std::nullopt;
  fs::path folder = path;
  if (!folder.has_filename()) folder = folder.parent_path();  // "Name.app/"
  const fs::path name = folder.stem();
  if (name.empty()) return std::nullopt;
  for (const fs::path& candidate : {folder / name, folder / "Contents/MacOS" / name}) {
    if (IsExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::vector<fs::path> LoginItemPaths(const fs::path& preferencesFolder) {
  std::ifstream in(preferencesFolder / kLoginItemsFileName, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<fs::path> paths;
  std::optional<PropertyList> document = PropertyList::Parse(text.str());
  if (!document || !document->IsDictionary()) return paths;
  plist_t array = plist_dict_get_item(document->get(), kLoginItemsKey);
  if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY) return paths;
  const std::uint32_t size = plist_array_get_size(array);
  for (std::uint32_t i = 0; i < size; ++i) {
    plist_t entry = plist_array_get_item(array, i);
    if (entry == nullptr || plist_get_node_type(entry) != PLIST_DICT) continue;
    if (std::optional<std::string_view> path = StringValue(plist_dict_get_item(entry, kLoginItemPathKey))) {
      paths.emplace_back(std::string(*path));
    }
  }
  return paths;
}

std::vector<fs::path> LaunchLoginItems(const fs::path& preferencesFolder, ProcessSpawner& spawner) {
  std::vector<fs::path> started;
  for (const fs::path& path : LoginItemPaths(preferencesFolder)) {
    std::optional<fs::path> executable = ApplicationExecutable(path);
    if (!executable) continue;  // moved, deleted or not a program: skipped
    std::error_code error;
    fs::path identity = fs::canonical(*executable, error);
    if (error) identity = *executable;
    if (std::find(started.begin(), started.end(), identity) != started.end()) continue;
    if (spawner.Spawn(*executable, nullptr) == noErr) started.push_back(identity);
  }
  return started;
}

}  // namespace korvid
