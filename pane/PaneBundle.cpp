// SPDX-License-Identifier: MIT
#include "pane/PaneBundle.h"

#include <dlfcn.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/files/PropertyList.h"

namespace korvid {

PaneBundle::PaneBundle(std::filesystem::path folder) : folder_(std::move(folder)) {}

PaneBundle PaneBundle::OfLoadedLibrary() {
  Dl_info info{};
  static const int anchor = 0;
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return PaneBundle();
  std::error_code error;
  const std::filesystem::path library = std::filesystem::canonical(info.dli_fname, error);
  if (error) return PaneBundle();
  return PaneBundle(library.parent_path());
}

std::filesystem::path PaneBundle::ResourcesFolder() const {
  return folder_.empty() ? std::filesystem::path() : folder_ / "Resources";
}

std::optional<std::filesystem::path> PaneBundle::PathForResource(const std::string& name, const std::string& type,
                                                                 const std::string& directory) const {
  if (folder_.empty()) return std::nullopt;
  std::filesystem::path path = ResourcesFolder();
  if (!directory.empty()) path /= directory;
  path /= type.empty() ? name : name + "." + type;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  return path;
}

std::optional<std::string> PaneBundle::InfoString(const std::string& key) const {
  if (folder_.empty()) return std::nullopt;
  std::ifstream in(folder_ / "Info.plist", std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  const std::optional<PropertyList> info = PropertyList::Parse(text.str());
  if (!info || !info->IsDictionary()) return std::nullopt;
  const std::optional<std::string_view> value = StringValue(plist_dict_get_item(info->get(), key.c_str()));
  if (!value) return std::nullopt;
  return std::string(*value);
}

}  // namespace korvid
