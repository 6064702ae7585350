// SPDX-License-Identifier: MIT
// The pkexec runner, with a stand-in for pkexec that records its arguments and exits as
// pkexec would; no password is ever asked for.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/admin/PrivilegedRunner.h"
#include "platform/admin/SystemUnits.h"
#include "platform/admin/testing/DirectRunner.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

class PkexecRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvid-admin-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  // A pkexec that writes its arguments, one a line, and exits with `status`.
  fs::path FakePkexec(int status) {
    const fs::path script = folder_ / "pkexec";
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"" << (folder_ / "args").string()
                          << "\"\nexit " << status << "\n";
    fs::permissions(script, fs::perms::owner_all);
    return script;
  }
  std::vector<std::string> RecordedArguments() {
    std::ifstream in(folder_ / "args");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  fs::path folder_;
};

TEST_F(PkexecRunnerTest, RunsTheToolThroughPkexecAndReturnsItsStatus) {
  PkexecRunner runner(FakePkexec(0));
  const std::vector<std::string> arguments{"--runekorv"};
  int exitStatus = -1;
  ASSERT_EQ(runner.RunTool("/opt/Uninstall Korvid Tessel.app/Resources/ekorvid", arguments, exitStatus), noErr);
  EXPECT_EQ(exitStatus, 0);
  EXPECT_EQ(RecordedArguments(),
            (std::vector<std::string>{"/opt/Uninstall Korvid Tessel.app/Resources/ekorvid", "--runekorv"}));
}

TEST_F(PkexecRunnerTest, ToolStatusesComeBackUnchanged) {
  int exitStatus = -1;
  PkexecRunner failing(FakePkexec(213));
  ASSERT_EQ(failing.RunTool("/t", {}, exitStatus), noErr);
  EXPECT_EQ(exitStatus, 213);
  PkexecRunner two(FakePkexec(2));
  ASSERT_EQ(two.RunTool("/t", {}, exitStatus), noErr);
  EXPECT_EQ(exitStatus, 2);
}

TEST_F(PkexecRunnerTest, DismissedOrRefusedAuthorisationIsNotAToolStatus) {
  int exitStatus = -1;
  PkexecRunner dismissed(FakePkexec(126));
  EXPECT_EQ(dismissed.RunTool("/t", {}, exitStatus), errAuthorizationCanceled);
  PkexecRunner refused(FakePkexec(127));
  EXPECT_EQ(refused.RunTool("/t", {}, exitStatus), errAuthorizationDenied);
  EXPECT_EQ(exitStatus, -1);
}

TEST_F(PkexecRunnerTest, MissingPkexecIsAnExecutionFailure) {
  PkexecRunner runner(folder_ / "no-such-pkexec");
  int exitStatus = -1;
  EXPECT_EQ(runner.RunTool("/t", {}, exitStatus), errAuthorizationToolExecuteFailure);
}

TEST(DirectRunnerTest, KilledToolGivesSignalStatus) {
  DirectRunner runner;
  int exitStatus = -1;
  const std::vector<std::string> arguments{"-c", "kill -9 $$"};
  ASSERT_EQ(runner.RunTool("/bin/sh", arguments, exitStatus), noErr);
  EXPECT_EQ(exitStatus, 128 + 9);
}

// The system's own tools are found in the folders of users' tools and of the
// administrator's (dkms, ldconfig), never through PATH, and succeed only with status 0.
TEST(SystemTools, AreFoundInEverySystemFolderAndSucceedOnlyWithStatusZero) {
  if (access("/usr/sbin/ldconfig", X_OK) != 0 && access("/sbin/ldconfig", X_OK) != 0) GTEST_SKIP() << "no ldconfig";
  const char* path = getenv("PATH");
  const std::string saved = path != nullptr ? path : "";
  setenv("PATH", "/nonexistent", 1);
  EXPECT_TRUE(RunSystemTool("true", {}));
  EXPECT_FALSE(RunSystemTool("false", {}));
  EXPECT_TRUE(RunSystemTool("ldconfig", {"--version"}, /*quiet=*/true));
  EXPECT_FALSE(RunSystemTool("korvid-no-such-tool", {}));
  setenv("PATH", saved.c_str(), 1);
}

}  // namespace
}  // namespace korvid
