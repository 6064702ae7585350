// SPDX-License-Identifier: MIT
// Persistent preferences domains of the current user.
//
// Each domain is one XML property list, <user Preferences folder>/<domain>.plist, whose
// root is a dictionary. A domain is read and replaced whole; keys that a program does
// not know stay as they are, because the program works on the whole dictionary.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/Status.h"
#include "platform/files/FolderLocator.h"
#include "platform/files/PropertyList.h"

namespace korvid {

class PreferencesStore {
 public:
  // Domains in the given user Preferences folder.
  explicit PreferencesStore(std::filesystem::path preferencesFolder);
  // Domains of the user whose folders `locator` describes.
  static PreferencesStore ForUser(const FolderLocator& locator);

  // Reads the domain as a dictionary. fnfErr when it does not exist; resNotFound when
  // its file cannot be read, does not parse or does not hold a dictionary (callers
  // treat both as "no domain"); paramErr for a name that is not a plain file name.
  OSStatus PersistentDomain(std::string_view domain, PropertyList& dictionary) const;

  // Replaces the domain with `dictionary` in one atomic write (a crash leaves the old
  // domain or the new one). A domain file that cannot be read as a dictionary is first
  // kept beside it as "<domain>.plist.damaged". The Preferences folder is made if
  // missing. paramErr when `dictionary` is not a dictionary.
  OSStatus SetPersistentDomain(std::string_view domain, const PropertyList& dictionary) const;

  // Removes the domain. Removing a domain that does not exist succeeds. When the
  // domain's file is a symbolic link, the file it points to goes and the link stays,
  // so a following SetPersistentDomain writes through it again.
  OSStatus RemovePersistentDomain(std::string_view domain) const;

  std::filesystem::path DomainFile(std::string_view domain) const;
  const std::filesystem::path& Folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
};

}  // namespace korvid
