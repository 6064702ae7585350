// SPDX-License-Identifier: MIT
// MakeRefInFolder: argument checks, single names, relative paths, limits, and links.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "uninstaller/MakeRefInFolder.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

class MakeRefInFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvid-makeref-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "a/b");
    std::ofstream(root_ / "a/b/c") << "c";
    fs::create_directories(root_ / "elsewhere/b");
    std::ofstream(root_ / "elsewhere/b/c") << "c";
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "a/link");
    FolderRef folder;
    ASSERT_EQ(FolderRef::Open(root_, folder), noErr);
    folder_ = ItemRef{folder, {}};
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
  ItemRef folder_;
};

TEST_F(MakeRefInFolderTest, MissingFolderOrOutIsParamErr) {
  ItemRef out;
  EXPECT_EQ(MakeRefInFolder(nullptr, "a", &out), paramErr);
  EXPECT_EQ(MakeRefInFolder(&folder_, "a", nullptr), paramErr);
  const ItemRef invalid;
  EXPECT_EQ(MakeRefInFolder(&invalid, "a", &out), paramErr);
}

TEST_F(MakeRefInFolderTest, NoNameIsTheFolderItself) {
  ItemRef out;
  ASSERT_EQ(MakeRefInFolder(&folder_, nullptr, &out), noErr);
  EXPECT_EQ(out.Path(), root_);
  ASSERT_EQ(MakeRefInFolder(&folder_, "", &out), noErr);
  EXPECT_EQ(out.Path(), root_);
}

TEST_F(MakeRefInFolderTest, SingleNameIsADirectChild) {
  ItemRef out;
  ASSERT_EQ(MakeRefInFolder(&folder_, "a", &out), noErr);
  EXPECT_EQ(out.Path(), root_ / "a");
  EXPECT_EQ(MakeRefInFolder(&folder_, "missing", &out), fnfErr);
  EXPECT_EQ(MakeRefInFolder(&folder_, "..", &out), bdNamErr);
  EXPECT_EQ(MakeRefInFolder(&folder_, "a/b", &out), bdNamErr);
}

TEST_F(MakeRefInFolderTest, LeadingSlashIsARelativePath) {
  ItemRef out;
  ASSERT_EQ(MakeRefInFolder(&folder_, "/a/b/c", &out), noErr);
  EXPECT_EQ(out.Path(), root_ / "a/b/c");
  ASSERT_EQ(MakeRefInFolder(&folder_, "//a/./b//c", &out), noErr);
  EXPECT_EQ(out.name, "c");
  EXPECT_EQ(MakeRefInFolder(&folder_, "/a/missing/c", &out), fnfErr);
  EXPECT_EQ(MakeRefInFolder(&folder_, "/a/b/c/d", &out), dirNFErr);  // c is a file
  EXPECT_EQ(MakeRefInFolder(&folder_, "/a/../a/b", &out), bdNamErr);
}

TEST_F(MakeRefInFolderTest, LinksOnTheWayAreNotFollowedButTheLastMayBeOne) {
  ItemRef out;
  EXPECT_EQ(MakeRefInFolder(&folder_, "/a/link/b/c", &out), dirNFErr);
  ASSERT_EQ(MakeRefInFolder(&folder_, "/a/link", &out), noErr);
  ItemInfo info;
  ASSERT_EQ(GetItemInfo(out, info), noErr);
  EXPECT_EQ(info.kind, ItemKind::kLink);
}

TEST_F(MakeRefInFolderTest, JoinedPathTooLongIsParamErr) {
  fs::path nested = root_;
  while (nested.native().size() < 1900) nested /= std::string(200, 'n');
  fs::create_directories(nested);
  FolderRef nestedFolder;
  ASSERT_EQ(FolderRef::Open(nested, nestedFolder), noErr);
  const ItemRef nestedItem{nestedFolder, {}};
  ItemRef out;
  const std::string name = "/" + std::string(200, 'q');
  EXPECT_EQ(MakeRefInFolder(&nestedItem, name.c_str(), &out), paramErr);
}

TEST_F(MakeRefInFolderTest, LongNameIsCutAtAWholeCharacter) {
  // 505 bytes of folders, then "abcd" and a two-byte character across byte 510: the cut
  // keeps "abcd" and drops the whole character.
  std::string folders = "/";
  fs::path at = root_;
  for (int i = 0; i < 56; ++i) {
    folders += "dddddddd/";
    at /= "dddddddd";
  }
  fs::create_directories(at);
  std::ofstream(at / "abcd") << "x";
  const std::string name = folders + "abcd\xC3\xA9";
  ASSERT_EQ(name.size(), 511u);
  ItemRef out;
  ASSERT_EQ(MakeRefInFolder(&folder_, name.c_str(), &out), noErr);
  EXPECT_EQ(out.name, "abcd");
}

}  // namespace
}  // namespace korvid
