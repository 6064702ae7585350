// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "platform/Identity.h"
#include "platform/files/PreferencesStore.h"
#include "platform/files/tests/TestFolder.h"

namespace korvid {
namespace {
namespace fs = std::filesystem;
using testing::ReadWithPlistlib;
using testing::TempFolder;
using testing::WriteFile;

TEST(PreferencesStore, MissingDomainIsNotFound) {
  TempFolder temp;
  PreferencesStore store(temp.path() / "prefs");
  PropertyList domain;
  EXPECT_EQ(store.PersistentDomain(kSettingsDomain, domain), fnfErr);
  EXPECT_FALSE(domain);
}

TEST(PreferencesStore, WritesTheDomainFileAndReadsItBack) {
  TempFolder temp;
  FolderLocator locator = FolderLocator::RootedAt(temp.path());
  PreferencesStore store = PreferencesStore::ForUser(locator);
  PropertyList settings = PropertyList::NewDictionary();
  settings.SetFloat("acceleration", 0.7f);
  settings.SetFloat("lastAcceleration", 1.0f);
  ASSERT_EQ(store.SetPersistentDomain(kSettingsDomain, settings), noErr);  // makes the folder

  fs::path file = temp.path() / "home/user/.config/korvid/com.korvid.tessel.settings.plist";
  EXPECT_EQ(store.DomainFile(kSettingsDomain), file);
  EXPECT_EQ(ReadWithPlistlib(file),
            R"({"acceleration":{"real":"0.699999988079071"},"lastAcceleration":{"real":"1.0"}})");
  PropertyList back;
  ASSERT_EQ(store.PersistentDomain(kSettingsDomain, back), noErr);
  EXPECT_EQ(back.GetFloat("acceleration"), 0.7f);
  EXPECT_EQ(back.GetFloat("lastAcceleration"), 1.0f);
}

TEST(PreferencesStore, KeysOfOthersSurviveAReadModifyWrite) {
  TempFolder temp;
  PreferencesStore store(temp.path());
  WriteFile(store.DomainFile(kSettingsDomain),
            "<plist><dict><key>acceleration</key><real>0.5</real>"
            "<key>window</key><dict><key>x</key><integer>10</integer></dict>"
            "<key>seen</key><date>2021-03-04T05:06:07Z</date></dict></plist>");
  PropertyList settings;
  ASSERT_EQ(store.PersistentDomain(kSettingsDomain, settings), noErr);
  settings.SetFloat("acceleration", 2.0f);
  ASSERT_EQ(store.SetPersistentDomain(kSettingsDomain, settings), noErr);
  EXPECT_EQ(ReadWithPlistlib(store.DomainFile(kSettingsDomain)),
            R"({"acceleration":{"real":"2.0"},"window":{"x":{"int":10}},"seen":{"date":"2021-03-04T05:06:07"}})");
}

TEST(PreferencesStore, UnreadableDomainsAreNotFoundAndKeptBesideWhenReplaced) {
  TempFolder temp;
  PreferencesStore store(temp.path());
  PropertyList domain;
  const fs::path copy = store.DomainFile("d").string() + ".damaged";
  std::string deep = "<plist><dict><key>k</key>";  // nested past every stack: damaged, never walked
  for (int i = 0; i < 50000; ++i) deep += "<array a=\"/>\">";
  for (int i = 0; i < 50000; ++i) deep += "</array>";
  deep += "</dict></plist>";
  for (const std::string& text : {std::string("damaged <dict>"), deep,
                                  std::string("<plist><dict><key>a</key><real>1</real><key>a</key><real>2</real>"
                                              "</dict></plist>"),
                                  std::string("<plist><array/></plist>"), std::string()}) {
    SCOPED_TRACE(text.substr(0, 40));
    WriteFile(store.DomainFile("d"), text);
    EXPECT_EQ(store.PersistentDomain("d", domain), resNotFound);
    ASSERT_EQ(store.SetPersistentDomain("d", PropertyList::NewDictionary()), noErr);
    EXPECT_EQ(testing::ReadFile(copy), text.empty() ? "<plist><array/></plist>" : text);  // empty: nothing kept
  }
  ASSERT_EQ(store.SetPersistentDomain("d", PropertyList::NewDictionary()), noErr);  // readable: no copy
  EXPECT_EQ(testing::ReadFile(copy), "<plist><array/></plist>");
}

TEST(PreferencesStore, RemovesADomainAndRemovingNothingSucceeds) {
  TempFolder temp;
  PreferencesStore store(temp.path());
  ASSERT_EQ(store.SetPersistentDomain("d", PropertyList::NewDictionary()), noErr);
  EXPECT_EQ(store.RemovePersistentDomain("d"), noErr);
  EXPECT_FALSE(fs::exists(store.DomainFile("d")));
  EXPECT_EQ(store.RemovePersistentDomain("d"), noErr);
}

TEST(PreferencesStore, ALinkedDomainStaysLinkedThroughRemoveAndSet) {
  TempFolder temp;
  PreferencesStore store(temp.path() / "prefs");
  WriteFile(temp.path() / "dotfiles/d.plist", "<plist><dict/></plist>");
  fs::create_directories(store.Folder());
  fs::create_symlink(temp.path() / "dotfiles/d.plist", store.DomainFile("d"));
  PropertyList settings = PropertyList::NewDictionary();
  settings.SetFloat("acceleration", 1.5f);
  ASSERT_EQ(store.RemovePersistentDomain("d"), noErr);
  ASSERT_EQ(store.SetPersistentDomain("d", settings), noErr);
  EXPECT_TRUE(fs::is_symlink(store.DomainFile("d")));
  EXPECT_EQ(ReadWithPlistlib(temp.path() / "dotfiles/d.plist"), R"({"acceleration":{"real":"1.5"}})");
}

TEST(PreferencesStore, RejectsNamesThatAreNotPlainAndRootsThatAreNotDictionaries) {
  TempFolder temp;
  PreferencesStore store(temp.path());
  PropertyList domain;
  for (const char* name : {"", ".", "..", "../escape", "a/b"}) {
    EXPECT_EQ(store.PersistentDomain(name, domain), paramErr) << name;
    EXPECT_EQ(store.SetPersistentDomain(name, PropertyList::NewDictionary()), paramErr) << name;
    EXPECT_EQ(store.RemovePersistentDomain(name), paramErr) << name;
  }
  EXPECT_EQ(store.SetPersistentDomain("d", PropertyList::NewArray()), paramErr);
  EXPECT_EQ(store.SetPersistentDomain("d", PropertyList()), paramErr);
}

}  // namespace
}  // namespace korvid
