// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/files/FolderLocator.h"
#include "platform/files/tests/TestFolder.h"

namespace korvid {
namespace {
namespace fs = std::filesystem;
using testing::TempFolder;

struct Row {
  FolderDomain domain;
  FolderType type;
  const char* below;  // below the root
};

TEST(FolderLocator, MapsEveryFolderOfTheInstallationBelowItsRoot) {
  const Row rows[] = {
      {kOnSystemDisk, kPreferencesFolderType, "home/user/.config/korvid"},
      {kUserDomain, kPreferencesFolderType, "home/user/.config/korvid"},
      {kUserDomain, kPreferencePanesFolderType, "home/user/.local/lib/korvid/PreferencePanes"},
      {kLocalDomain, kPreferencePanesFolderType, "usr/local/lib/korvid/PreferencePanes"},
      {kSystemDomain, kPreferencePanesFolderType, "usr/lib/korvid/PreferencePanes"},
      {kLocalDomain, kDomainLibraryFolderType, "usr/local/lib/korvid"},
      {kSystemDomain, kDomainLibraryFolderType, "usr/lib/korvid"},
      {kSystemDomain, kKernelExtensionsFolderType, "usr/local/lib/korvid/Extensions"},
      {kLocalDomain, kReceiptsFolderType, "var/lib/korvid/receipts"},
      {kLocalDomain, kUsersFolderType, "home"},
      {kLocalDomain, kApplicationsFolderType, "usr/local/lib/korvid/Applications"},
      {kLocalDomain, kChewableItemsFolderType, "var/tmp/korvid-chewable"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.below);
    TempFolder temp;
    FolderLocator locator = FolderLocator::RootedAt(temp.path());
    fs::path found;
    // Not there yet, and not to be made.
    EXPECT_EQ(locator.FindFolder(row.domain, row.type, kDontCreateFolder, found), fnfErr);
    EXPECT_TRUE(found.empty());
    ASSERT_EQ(locator.FindFolder(row.domain, row.type, kCreateFolder, found), noErr);
    EXPECT_EQ(found, temp.path() / row.below);
    EXPECT_TRUE(fs::is_directory(found));
    fs::path again;
    EXPECT_EQ(locator.FindFolder(row.domain, row.type, kDontCreateFolder, again), noErr);
    EXPECT_EQ(again, found);
  }
}

TEST(FolderLocator, PanesFolderIsPreferencePanesBelowTheDomainLibrary) {
  for (FolderDomain domain : {kLocalDomain, kSystemDomain}) {
    TempFolder temp;
    FolderLocator rooted = FolderLocator::RootedAt(temp.path());
    fs::path library, panes;
    ASSERT_EQ(rooted.FindFolder(domain, kDomainLibraryFolderType, kCreateFolder, library), noErr);
    ASSERT_EQ(rooted.FindFolder(domain, kPreferencePanesFolderType, kCreateFolder, panes), noErr);
    EXPECT_EQ(library / "PreferencePanes", panes);
  }
}

TEST(FolderLocator, FoldersMadeForTheUserArePrivate) {
  TempFolder temp;
  fs::create_directories(temp.path() / "home/user");
  fs::permissions(temp.path() / "home/user", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  FolderLocator locator = FolderLocator::RootedAt(temp.path());
  fs::path found;
  ASSERT_EQ(locator.FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, found), noErr);
  EXPECT_EQ(fs::status(temp.path() / "home/user/.config").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(found).permissions(), fs::perms::owner_all);
  // Folders that were there already keep their permissions.
  EXPECT_EQ(fs::status(temp.path() / "home/user").permissions(),
            fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

TEST(FolderLocator, UnknownDomainOrTypeIsNotFound) {
  TempFolder temp;
  FolderLocator locator = FolderLocator::RootedAt(temp.path());
  fs::path found;
  EXPECT_EQ(locator.FindFolder(kLocalDomain, FourCC("zzzz"), kCreateFolder, found), fnfErr);
  EXPECT_EQ(locator.FindFolder(kLocalDomain, kPreferencesFolderType, kCreateFolder, found), fnfErr);
  EXPECT_EQ(locator.FindFolder(kUserDomain, kReceiptsFolderType, kCreateFolder, found), fnfErr);
  EXPECT_EQ(locator.FindFolder(-32000, kUsersFolderType, kCreateFolder, found), fnfErr);
}

TEST(FolderLocator, AFileInTheWayIsNoFolder) {
  TempFolder temp;
  FolderLocator locator = FolderLocator::RootedAt(temp.path());
  testing::WriteFile(temp.path() / "home/user/.config/korvid", "not a folder");
  fs::path found;
  EXPECT_NE(locator.FindFolder(kUserDomain, kPreferencesFolderType, kDontCreateFolder, found), noErr);
  EXPECT_NE(locator.FindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, found), noErr);
}

class EnvironmentScope {
 public:
  EnvironmentScope(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, hadOld_ = true;
    if (value) setenv(name, value, 1); else unsetenv(name);
  }
  ~EnvironmentScope() {
    if (hadOld_) setenv(name_, old_.c_str(), 1); else unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

TEST(FolderLocator, DefaultUserPreferencesFollowXdgConfigHome) {
  EnvironmentScope home("HOME", "/home/ann");
  {
    EnvironmentScope config("XDG_CONFIG_HOME", "/srv/config");
    EXPECT_EQ(FolderLocator::Default().UserPreferencesFolder(), "/srv/config/korvid");
  }
  {
    EnvironmentScope config("XDG_CONFIG_HOME", "relative/config");  // invalid: ignored
    EXPECT_EQ(FolderLocator::Default().UserPreferencesFolder(), "/home/ann/.config/korvid");
  }
  {
    EnvironmentScope config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(FolderLocator::Default().UserPreferencesFolder(), "/home/ann/.config/korvid");
    EXPECT_EQ(FolderLocator::Default().HomeFolder(), "/home/ann");
  }
}

}  // namespace
}  // namespace korvid
