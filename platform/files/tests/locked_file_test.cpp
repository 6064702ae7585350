// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files/LockedFile.h"
#include "platform/files/tests/TestFolder.h"

namespace korvid {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

std::size_t EntriesIn(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(LockedFileOpen, MissingFileFailsOrIsCreatedEmpty) {
  TempFolder temp;
  LockedFile file;
  EXPECT_EQ(file.Open(temp.path() / "a.plist", LockedFile::IfMissing::kFail), fnfErr);
  EXPECT_FALSE(fs::exists(temp.path() / "a.plist"));
  ASSERT_EQ(file.Open(temp.path() / "a.plist", LockedFile::IfMissing::kCreateEmpty), noErr);
  std::string contents = "x";
  ASSERT_EQ(file.ReadAll(contents), noErr);
  EXPECT_EQ(contents, "");
  EXPECT_EQ(file.Open(temp.path() / "no/such/folder/a.plist", LockedFile::IfMissing::kCreateEmpty), fnfErr);
}

TEST(LockedFileReplace, ReplacesWholeFileKeepsModeAndLeavesNoTemporary) {
  TempFolder temp;
  fs::path path = temp.path() / "a.plist";
  WriteFile(path, "old contents that are longer than the new");
  chmod(path.c_str(), 0640);
  LockedFile file;
  ASSERT_EQ(file.Open(path, LockedFile::IfMissing::kFail), noErr);
  ASSERT_EQ(file.Replace("new"), noErr);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Replace("again"), paramErr);
  EXPECT_EQ(ReadFile(path), "new");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(EntriesIn(temp.path()), 1u);
}

TEST(LockedFileReplace, ADirectoryIsNotAFileToRead) {
  TempFolder temp;
  fs::create_directory(temp.path() / "a.plist");
  LockedFile file;
  EXPECT_NE(file.Open(temp.path() / "a.plist", LockedFile::IfMissing::kCreateEmpty), noErr);
  ASSERT_EQ(file.Open(temp.path() / "a.plist", LockedFile::IfMissing::kFail), noErr);
  std::string contents;
  EXPECT_NE(file.ReadAll(contents), noErr);
  EXPECT_NE(file.Replace("x"), noErr);
  EXPECT_TRUE(fs::is_directory(temp.path() / "a.plist"));
}

TEST(LockedFileSymbolicLinks, EditsTheFileTheLinkPointsTo) {
  TempFolder temp;
  WriteFile(temp.path() / "dotfiles/a.plist", "old");
  fs::create_directories(temp.path() / "prefs");
  fs::create_symlink("../dotfiles/a.plist", temp.path() / "prefs/a.plist");  // relative
  LockedFile file;
  ASSERT_EQ(file.Open(temp.path() / "prefs/a.plist", LockedFile::IfMissing::kFail), noErr);
  EXPECT_EQ(file.Target(), temp.path() / "prefs/../dotfiles/a.plist");
  ASSERT_EQ(file.Replace("new"), noErr);
  EXPECT_TRUE(fs::is_symlink(temp.path() / "prefs/a.plist"));
  EXPECT_EQ(ReadFile(temp.path() / "dotfiles/a.plist"), "new");
}

TEST(LockedFileSymbolicLinks, DanglingLinkCreatesItsTargetAndLoopsFail) {
  TempFolder temp;
  fs::create_symlink(temp.path() / "real.plist", temp.path() / "a.plist");
  LockedFile file;
  ASSERT_EQ(file.Open(temp.path() / "a.plist", LockedFile::IfMissing::kCreateEmpty), noErr);
  ASSERT_EQ(file.Replace("new"), noErr);
  EXPECT_TRUE(fs::is_symlink(temp.path() / "a.plist"));
  EXPECT_EQ(ReadFile(temp.path() / "real.plist"), "new");

  fs::create_symlink("loop2", temp.path() / "loop1");
  fs::create_symlink("loop1", temp.path() / "loop2");
  EXPECT_NE(file.Open(temp.path() / "loop1", LockedFile::IfMissing::kCreateEmpty), noErr);
}

TEST(LockedFileCrash, ACrashBeforeTheRenameLeavesTheOldFileIntact) {
  TempFolder temp;
  fs::path path = temp.path() / "a.plist";
  WriteFile(path, "old");
  EXPECT_EXIT(
      {
        LockedFile::SetBeforeRenameHookForTesting([] { _exit(7); });
        LockedFile file;
        if (file.Open(path, LockedFile::IfMissing::kFail) != noErr) _exit(1);
        file.Replace("new contents");
        _exit(2);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(ReadFile(path), "old");
  // The next edit goes through as usual.
  LockedFile file;
  ASSERT_EQ(file.Open(path, LockedFile::IfMissing::kFail), noErr);
  ASSERT_EQ(file.Replace("next"), noErr);
  EXPECT_EQ(ReadFile(path), "next");
}

// Two processes each add 1 to a counter in the file many times; with the lock held
// from the read to the write, no increment is lost even though every write replaces
// the file by a new one.
TEST(LockedFileConcurrency, NoChangeOfASecondWriterIsLost) {
  TempFolder temp;
  fs::path path = temp.path() / "counter";
  WriteFile(path, "0");
  constexpr int kWriters = 2;
  constexpr int kIncrements = 150;
  pid_t children[kWriters];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < kIncrements; ++i) {
        LockedFile file;
        std::string text;
        if (file.Open(path, LockedFile::IfMissing::kFail) != noErr || file.ReadAll(text) != noErr) _exit(1);
        if (file.Replace(std::to_string(std::stoi(text) + 1)) != noErr) _exit(2);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(ReadFile(path), std::to_string(kWriters * kIncrements));
  EXPECT_EQ(EntriesIn(temp.path()), 1u);
}

}  // namespace
}  // namespace korvid
