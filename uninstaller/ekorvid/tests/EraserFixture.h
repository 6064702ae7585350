// SPDX-License-Identifier: MIT
// A throw-away root with the installed layout, and an eraser context rooted in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "uninstaller/ekorvid/Eraser.h"

namespace korvid::testing {

namespace fs = std::filesystem;

class EraserFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvid-eraser-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    outside_ = root_ / "outside";
    Write(outside_ / "precious" / "keep.txt");
    Write(outside_ / "lib/korvid/PreferencePanes/Korvid Tessel.prefPane/keep.txt");
    context_ = std::make_unique<EraserContext>(
        EraserContext{.folders = FolderLocator::RootedAt(root_ / "sys"),
                      .linkFolders = LinkFoldersBelow(root_ / "sys", "/usr/local"),
                      .systemRoot = root_ / "sys",
                      .now = [this] { return now_; }});
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(root_, error);
  }

  fs::path Sys(const std::string& relative) const { return root_ / "sys" / relative; }
  fs::path Extensions() const { return Sys("usr/local/lib/korvid/Extensions"); }
  fs::path LocalPanes() const { return Sys("usr/local/lib/korvid/PreferencePanes"); }
  fs::path SystemPanes() const { return Sys("usr/lib/korvid/PreferencePanes"); }
  fs::path Receipts() const { return Sys("var/lib/korvid/receipts"); }
  fs::path Users() const { return Sys("home"); }
  fs::path Utilities() const { return Sys("usr/local/lib/korvid/Applications/Utilities"); }
  fs::path App() const { return Utilities() / "Uninstall Korvid Tessel.app"; }
  fs::path Chewable() const { return Sys("var/tmp/korvid-chewable"); }
  fs::path UserPane(const std::string& user) const {
    return Users() / user / ".local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane";
  }

  static void Write(const fs::path& file, const std::string& text = "x") {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  static void MakeBundle(const fs::path& bundle) {
    Write(bundle / "Contents/Info.plist");
    Write(bundle / "Resources/deep/er/file");
    fs::create_directories(bundle / "Resources/empty");
  }

  void InstallDriver() { MakeBundle(Extensions() / "KorvidTessel.kext"); }
  void InstallLocalPane() { MakeBundle(LocalPanes() / "Korvid Tessel.prefPane"); }
  void InstallReceipt() {
    Write(Receipts() / "Korvid Tessel.pkg/files.txt");
    Write(Receipts() / "Korvid Tessel Log.rtf");
  }
  void InstallUninstaller() { MakeBundle(App()); }
  void InstallEverything() {
    InstallDriver();
    InstallLocalPane();
    MakeBundle(SystemPanes() / "Korvid Tessel.prefPane");
    InstallReceipt();
    InstallUninstaller();
    MakeBundle(UserPane("alice"));
    Write(Users() / "alice/.config/korvid/loginWindow.plist");
    Write(Users() / "alice/.config/korvid/com.korvid.tessel.settings.plist");
    fs::create_directories(Users() / "bob");
  }

  int Run(std::vector<const char*> arguments = {"ekorvid", "--runekorv"}) {
    return RunEraser(arguments, *context_);
  }

  // Everything outside the installed pieces that the tests put there is intact.
  void ExpectOutsideIntact() const {
    EXPECT_TRUE(fs::exists(outside_ / "precious/keep.txt"));
    EXPECT_TRUE(fs::exists(outside_ / "lib/korvid/PreferencePanes/Korvid Tessel.prefPane/keep.txt"));
  }

  static bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
  }

  fs::path root_;
  fs::path outside_;
  timespec now_{1'800'000'000, 500'000'000};
  std::unique_ptr<EraserContext> context_;
};

}  // namespace korvid::testing
