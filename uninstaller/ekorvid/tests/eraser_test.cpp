// SPDX-License-Identifier: MIT
// The eraser tool in a throw-away root: the command line, the ten steps, the counting
// rule and exit statuses, the self-move, the touch, and links and mounts planted by a user.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "uninstaller/ekorvid/tests/EraserFixture.h"

namespace korvid::testing {
namespace {

using Eraser = EraserFixture;

// --- The command line ---

TEST_F(Eraser, DoesNothingWithoutExactlyTheOneArgument) {
  InstallEverything();
  EXPECT_EQ(Run({"ekorvid"}), 0);
  EXPECT_EQ(Run({"ekorvid", "--runekorv", "--runekorv"}), 0);
  EXPECT_EQ(Run({"ekorvid", "--runekorvx"}), 0);
  EXPECT_EQ(Run({"ekorvid", "--RUNEKORV"}), 0);
  EXPECT_EQ(Run({"ekorvid", "--runekor"}), 0);
  EXPECT_TRUE(Exists(Extensions() / "KorvidTessel.kext"));
  EXPECT_TRUE(Exists(LocalPanes() / "Korvid Tessel.prefPane"));
  EXPECT_TRUE(Exists(Receipts() / "Korvid Tessel Log.rtf"));
  EXPECT_TRUE(Exists(App()));
  EXPECT_TRUE(Exists(UserPane("alice")));
}

// --- The whole run ---

TEST_F(Eraser, RemovesEveryInstalledPieceAndKeepsLoginItemsAndSettings) {
  InstallEverything();
  // The kernel module's source where DKMS looks for it, beside another package's; a link
  // of our name is removed as a link.
  Write(Sys("usr/src/korvid-tessel-1.0/dkms.conf"));
  Write(Sys("usr/src/linux-headers-6.1.0-57-common/Makefile"));
  fs::create_directory_symlink(outside_ / "precious", Sys("usr/src/korvid-tessel-0.9"));
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(Exists(Sys("usr/src/korvid-tessel-1.0")));
  EXPECT_FALSE(Exists(Sys("usr/src/korvid-tessel-0.9")));
  EXPECT_TRUE(Exists(Sys("usr/src/linux-headers-6.1.0-57-common/Makefile")));
  EXPECT_EQ(context_->removalCount, 4);  // driver, two panes, alice's pane
  EXPECT_FALSE(Exists(Extensions() / "KorvidTessel.kext"));
  EXPECT_FALSE(Exists(LocalPanes() / "Korvid Tessel.prefPane"));
  EXPECT_FALSE(Exists(SystemPanes() / "Korvid Tessel.prefPane"));
  EXPECT_FALSE(Exists(Receipts() / "Korvid Tessel.pkg"));
  EXPECT_FALSE(Exists(Receipts() / "Korvid Tessel Log.rtf"));
  EXPECT_FALSE(Exists(UserPane("alice")));
  EXPECT_FALSE(Exists(App()));
  EXPECT_TRUE(Exists(Chewable() / "Uninstall Korvid Tessel.app/Resources/deep/er/file"));
  // Kept: the folders themselves, the login items and the settings domain.
  EXPECT_TRUE(Exists(Extensions()));
  EXPECT_TRUE(Exists(Users() / "alice/.local/lib/korvid/PreferencePanes"));
  EXPECT_TRUE(Exists(Users() / "alice/.config/korvid/loginWindow.plist"));
  EXPECT_TRUE(Exists(Users() / "alice/.config/korvid/com.korvid.tessel.settings.plist"));
  EXPECT_TRUE(Exists(Users() / "bob"));
  // The chewable-items folder is made private to the tool's user.
  EXPECT_EQ(fs::status(Chewable()).permissions() & (fs::perms::group_write | fs::perms::others_write),
            fs::perms::none);
  ExpectOutsideIntact();
}

TEST_F(Eraser, SecondRunFailsLeavesTheUninstallerButStillRemovesReceiptAndLog) {
  InstallEverything();
  ASSERT_EQ(Run(), 0);
  InstallUninstaller();
  InstallReceipt();
  EXPECT_EQ(Run(), fnfErr);
  EXPECT_EQ(static_cast<std::uint8_t>(fnfErr), 213);
  EXPECT_TRUE(Exists(App()));
  EXPECT_FALSE(Exists(Receipts() / "Korvid Tessel.pkg"));
  EXPECT_FALSE(Exists(Receipts() / "Korvid Tessel Log.rtf"));
}

TEST_F(Eraser, OneUsersPaneAloneCountsOnce) {
  MakeBundle(UserPane("carol"));
  fs::create_directories(Users() / "dave/.local/lib/korvid/PreferencePanes");
  InstallUninstaller();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(context_->removalCount, 1);
  EXPECT_FALSE(Exists(UserPane("carol")));
  EXPECT_TRUE(Exists(Chewable() / "Uninstall Korvid Tessel.app"));
}

TEST_F(Eraser, ReceiptAndLogAloneDoNotMakeTheRunSucceed) {
  InstallReceipt();
  InstallUninstaller();
  EXPECT_EQ(Run(), fnfErr);
  EXPECT_EQ(context_->removalCount, 0);
  EXPECT_FALSE(Exists(Receipts() / "Korvid Tessel.pkg"));
  EXPECT_FALSE(Exists(Receipts() / "Korvid Tessel Log.rtf"));
  EXPECT_TRUE(Exists(App()));
}

TEST_F(Eraser, ReceiptThatIsAPlainFileIsLeftInPlace) {
  InstallDriver();
  Write(Receipts() / "Korvid Tessel.pkg");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(fs::is_regular_file(Receipts() / "Korvid Tessel.pkg"));
}

TEST_F(Eraser, PlainFileAmongTheUsersIsPassedOver) {
  Write(Users() / ".hidden");
  Write(Users() / "aaa");
  MakeBundle(UserPane("zed"));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(context_->removalCount, 1);
  EXPECT_TRUE(Exists(Users() / ".hidden"));
  EXPECT_TRUE(Exists(Users() / "aaa"));
}

TEST_F(Eraser, OnlyTheListedItemsGo) {
  InstallEverything();
  Write(Extensions() / "Other.kext/x");
  Write(LocalPanes() / "Other.prefPane/x");
  Write(Receipts() / "Other.pkg/x");
  Write(Utilities() / "Other.app/x");
  Write(Users() / "alice/.local/lib/korvid/PreferencePanes/Other.prefPane/x");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Exists(Extensions() / "Other.kext/x"));
  EXPECT_TRUE(Exists(LocalPanes() / "Other.prefPane/x"));
  EXPECT_TRUE(Exists(Receipts() / "Other.pkg/x"));
  EXPECT_TRUE(Exists(Utilities() / "Other.app/x"));
  EXPECT_TRUE(Exists(Users() / "alice/.local/lib/korvid/PreferencePanes/Other.prefPane/x"));
}

// --- The self-move into the chewable-items folder ---

TEST_F(Eraser, OlderUninstallerInChewableItemsGetsTheFirstFreeNumber) {
  InstallDriver();
  InstallUninstaller();
  Write(Chewable() / "Uninstall Korvid Tessel.app/old");
  Write(Chewable() / "Uninstall Korvid Tessel.app 1/older");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Exists(Chewable() / "Uninstall Korvid Tessel.app/Contents/Info.plist"));
  EXPECT_TRUE(Exists(Chewable() / "Uninstall Korvid Tessel.app 1/older"));
  EXPECT_TRUE(Exists(Chewable() / "Uninstall Korvid Tessel.app 2/old"));
  EXPECT_FALSE(Exists(App()));
}

TEST_F(Eraser, WhenAllNinetyNineNamesAreTakenTheMoveFailsQuietly) {
  InstallDriver();
  InstallUninstaller();
  Write(Chewable() / "Uninstall Korvid Tessel.app/old");
  for (int n = 1; n <= 99; ++n) Write(Chewable() / ("Uninstall Korvid Tessel.app " + std::to_string(n)) / "x");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Exists(App()));
  EXPECT_TRUE(Exists(Chewable() / "Uninstall Korvid Tessel.app/old"));
  EXPECT_FALSE(Exists(Chewable() / "Uninstall Korvid Tessel.app 100"));
}

TEST_F(Eraser, ChewableItemsFolderOfAnotherUserOrALinkIsNotUsed) {
  if (geteuid() == 0) {
    // As root the test makes the folder belong to someone else.
    InstallDriver();
    InstallUninstaller();
    fs::create_directories(Chewable());
    ASSERT_EQ(chown(Chewable().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Exists(App()));
    fs::remove_all(Chewable());
  }
  InstallDriver();
  InstallUninstaller();
  fs::create_directories(Chewable().parent_path());
  fs::create_directory_symlink(outside_ / "precious", Chewable());
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(Exists(App()));
  EXPECT_FALSE(Exists(outside_ / "precious/Uninstall Korvid Tessel.app"));
}

// --- Touching folders ---

TEST_F(Eraser, TouchWritesTheCurrentDateAndNeverFollowsALink) {
  InstallDriver();
  InstallLocalPane();
  // A link planted where the machine's panes folder is dated: the link is, its target not.
  fs::create_directories(SystemPanes().parent_path());
  fs::create_directory_symlink(outside_ / "precious", SystemPanes());
  const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (outside_ / "precious").c_str(), old, 0), 0);
  ASSERT_EQ(Run(), 0);
  struct stat st {};
  ASSERT_EQ(stat(Extensions().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, now_.tv_sec);
  EXPECT_NEAR(static_cast<double>(st.st_mtim.tv_nsec), static_cast<double>(now_.tv_nsec), 20000.0);
  ASSERT_EQ(stat(LocalPanes().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, now_.tv_sec);
  ASSERT_EQ(stat((outside_ / "precious").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, old[1].tv_sec);
  ASSERT_EQ(lstat(SystemPanes().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, now_.tv_sec);
}

TEST_F(Eraser, TouchOfAnEqualDateMovesItOnBySecond) {
  fs::create_directories(Extensions());
  FolderRef folder;
  ASSERT_EQ(FolderRef::Open(Extensions(), folder), noErr);
  const ItemRef item{folder, {}};
  ASSERT_EQ(TouchAndNotify(item, [this] { return now_; }), noErr);
  // The stored date now equals the clock to the fraction: the next touch adds a second.
  ASSERT_EQ(TouchAndNotify(item, [this] { return now_; }), noErr);
  ItemInfo info;
  ASSERT_EQ(GetItemInfo(item, info), noErr);
  EXPECT_EQ(info.modified.tv_sec, now_.tv_sec + 1);
  // A date that differs only below the fraction's resolution counts as equal too.
  ASSERT_EQ(TouchAndNotify(item, [this] { return timespec{now_.tv_sec + 1, now_.tv_nsec + 1000}; }), noErr);
  ASSERT_EQ(GetItemInfo(item, info), noErr);
  EXPECT_EQ(info.modified.tv_sec, now_.tv_sec + 2);
}

TEST_F(Eraser, TouchOfAFileAlsoDatesItsFolder) {
  Write(Extensions() / "file");
  FolderRef folder;
  ASSERT_EQ(FolderRef::Open(Extensions(), folder), noErr);
  ASSERT_EQ(TouchAndNotify(ItemRef{folder, "file"}, [this] { return now_; }), noErr);
  ItemInfo info;
  ASSERT_EQ(GetItemInfo(ItemRef{folder, {}}, info), noErr);
  EXPECT_EQ(info.modified.tv_sec, now_.tv_sec);
}

// --- Links and mounts a user plants ---

TEST_F(Eraser, AFolderOrFileMountedInsideABundleOrTheModuleSourceIsNeitherEnteredNorCounted) {
  MakeBundle(UserPane("alice"));
  MakeBundle(UserPane("mallory"));
  InstallDriver();
  const fs::path mountPoint = UserPane("mallory") / "mnt";
  const fs::path sourceMount = Sys("usr/src/korvid-tessel-1.0/mnt");
  const fs::path fileMount = Extensions() / "KorvidTessel.kext/Resources/deep/er/file";
  fs::create_directories(mountPoint);
  fs::create_directories(sourceMount);
  // In a mount namespace of the test's own where it may have one, so nothing outlives it.
  if (unshare(CLONE_NEWNS) == 0) mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  for (const auto& [from, point] : {std::pair{outside_ / "precious", mountPoint}, {outside_ / "precious", sourceMount},
                                    {outside_ / "precious/keep.txt", fileMount}}) {
    if (mount(from.c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    }
  }
  ::testing::internal::CaptureStderr();
  const int status = Run();
  const std::string said = ::testing::internal::GetCapturedStderr();
  for (const fs::path& point : {mountPoint, sourceMount, fileMount}) umount2(point.c_str(), MNT_DETACH);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(context_->removalCount, 1);  // alice's pane; mallory's and the driver stay, with their mounts
  EXPECT_FALSE(Exists(UserPane("alice")));
  EXPECT_TRUE(Exists(mountPoint));
  EXPECT_TRUE(Exists(sourceMount));
  EXPECT_TRUE(Exists(fileMount));
  EXPECT_FALSE(Exists(UserPane("mallory") / "Contents"));  // the rest of each bundle goes
  EXPECT_FALSE(Exists(Extensions() / "KorvidTessel.kext/Contents"));
  for (const fs::path& point : {mountPoint, fileMount}) {
    EXPECT_NE(said.find(point.string() + " is on another file system"), std::string::npos) << said;
  }
  ExpectOutsideIntact();
}


TEST_F(Eraser, LinkInPlaceOfAUsersPaneIsRemovedAsALink) {
  fs::create_directories(UserPane("mallory").parent_path());
  fs::create_directory_symlink(outside_ / "precious", UserPane("mallory"));
  EXPECT_EQ(Run(), fnfErr);  // no pane was there
  EXPECT_FALSE(Exists(UserPane("mallory")));
  ExpectOutsideIntact();
}

TEST_F(Eraser, LinkOnTheWayToAUsersPaneIsNotFollowed) {
  fs::create_directories(Users() / "mallory");
  fs::create_directory_symlink(outside_, Users() / "mallory/.local");
  fs::create_directory_symlink(outside_, Users() / "eve");
  MakeBundle(UserPane("alice"));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(context_->removalCount, 1);
  EXPECT_TRUE(Exists(Users() / "mallory/.local"));
  EXPECT_TRUE(Exists(Users() / "eve"));
  ExpectOutsideIntact();
}

TEST_F(Eraser, LinksInsideAPaneAreRemovedNotTheirTargets) {
  MakeBundle(UserPane("mallory"));
  fs::create_directory_symlink(outside_ / "precious", UserPane("mallory") / "Resources/folder-link");
  fs::create_symlink(outside_ / "precious/keep.txt", UserPane("mallory") / "Resources/deep/file-link");
  fs::create_symlink("../../../../../../../../outside", UserPane("mallory") / "relative-link");
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(Exists(UserPane("mallory")));
  ExpectOutsideIntact();
}

TEST_F(Eraser, FolderSwappedForALinkMidWalkIsNotEntered) {
  MakeBundle(UserPane("mallory"));
  Write(UserPane("mallory") / "Resources/deep/er/more");
  gBeforeEnteringFolder = [this](const ItemRef& folder) {
    if (folder.name != "deep") return;
    const fs::path real = folder.Path();
    fs::rename(real, root_ / "moved-away");
    fs::create_directory_symlink(outside_ / "precious", real);
  };
  const int status = Run();
  gBeforeEnteringFolder = nullptr;
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Exists(UserPane("mallory")));
  EXPECT_TRUE(Exists(root_ / "moved-away/er/more"));  // moved out of the pane: not ours any more
  ExpectOutsideIntact();
}

TEST_F(Eraser, BundleSwappedForALinkMidWalkStaysWithTheFolderAlreadyOpen) {
  MakeBundle(UserPane("mallory"));
  const fs::path pane = UserPane("mallory");
  gBeforeEnteringFolder = [&](const ItemRef& folder) {
    if (folder.name != "Resources" || Exists(root_ / "moved-pane")) return;
    fs::rename(pane, root_ / "moved-pane");
    fs::create_directory_symlink(outside_ / "lib/korvid/PreferencePanes/Korvid Tessel.prefPane", pane);
  };
  const int status = Run();
  gBeforeEnteringFolder = nullptr;
  // The real pane's contents went (by the descriptor held); the link in its place is not a
  // folder, so the pane does not count as removed.
  EXPECT_EQ(status, fnfErr);
  EXPECT_FALSE(Exists(root_ / "moved-pane/Resources"));
  ExpectOutsideIntact();
}

}  // namespace
}  // namespace korvid::testing
