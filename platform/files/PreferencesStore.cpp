// SPDX-License-Identifier: MIT
#include "platform/files/PreferencesStore.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/files/FileStatus.h"
#include "platform/files/LockedFile.h"

namespace korvid {
namespace fs = std::filesystem;

namespace {

bool IsDomainName(std::string_view domain) {
  return !domain.empty() && domain != "." && domain != ".." &&
         domain.find('/') == std::string_view::npos && domain.find('\0') == std::string_view::npos;
}

}  // namespace

PreferencesStore::PreferencesStore(fs::path preferencesFolder) : folder_(std::move(preferencesFolder)) {}

PreferencesStore PreferencesStore::ForUser(const FolderLocator& locator) {
  return PreferencesStore(locator.UserPreferencesFolder());
}

fs::path PreferencesStore::DomainFile(std::string_view domain) const {
  return folder_ / (std::string(domain) + ".plist");
}

OSStatus PreferencesStore::PersistentDomain(std::string_view domain, PropertyList& dictionary) const {
  if (!IsDomainName(domain)) return paramErr;
  LockedFile file;
  if (OSStatus status = file.Open(DomainFile(domain), LockedFile::IfMissing::kFail); status != noErr) {
    return status == fnfErr ? fnfErr : resNotFound;
  }
  std::string xml;
  if (file.ReadAll(xml) != noErr) return resNotFound;
  file.Close();
  std::optional<PropertyList> parsed = PropertyList::Parse(xml);
  if (!parsed || !parsed->IsDictionary()) return resNotFound;
  dictionary = std::move(*parsed);
  return noErr;
}

OSStatus PreferencesStore::SetPersistentDomain(std::string_view domain,
                                               const PropertyList& dictionary) const {
  if (!IsDomainName(domain) || !dictionary.IsDictionary()) return paramErr;
  std::optional<std::string> xml = dictionary.ToXml();
  if (!xml) return memFullErr;
  if (OSStatus status = MakeFolders(folder_, 0700); status != noErr) return status;
  LockedFile file;
  if (OSStatus status = file.Open(DomainFile(domain), LockedFile::IfMissing::kCreateEmpty);
      status != noErr) {
    return status;
  }
  // A domain that cannot be read is kept beside the new one rather than lost.
  std::string old;
  if (OSStatus status = file.ReadAll(old); status != noErr) return status;
  if (!old.empty()) {
    const std::optional<PropertyList> parsed = PropertyList::Parse(old);
    if (!parsed || !parsed->IsDictionary()) {
      if (OSStatus status = file.KeepCopy(kDamagedCopySuffix, old); status != noErr) return status;
    }
  }
  return file.Replace(*xml);
}

OSStatus PreferencesStore::RemovePersistentDomain(std::string_view domain) const {
  if (!IsDomainName(domain)) return paramErr;
  LockedFile file;
  OSStatus status = file.Open(DomainFile(domain), LockedFile::IfMissing::kFail);
  if (status == fnfErr) return noErr;
  if (status != noErr) return status;
  if (unlink(file.Target().c_str()) != 0 && errno != ENOENT) return FileStatusFromErrno(errno);
  return noErr;
}

}  // namespace korvid
