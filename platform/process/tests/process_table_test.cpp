// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process/testing/FakeProcessTable.h"
#include "platform/process/LinuxProcessTable.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

std::string NameOf(const ProcessName& name) {
  return std::string(reinterpret_cast<const char*>(name.data()) + 1, name[0]);
}

std::vector<std::uint32_t> Walk(ProcessTable& table) {
  std::vector<std::uint32_t> pids;
  ProcessSerialNumber psn{0, kNoProcess};
  while (table.GetNextProcess(psn) == noErr) {
    EXPECT_EQ(psn.highLongOfPSN, 0u);
    pids.push_back(psn.lowLongOfPSN);
  }
  EXPECT_EQ(psn, (ProcessSerialNumber{0, kNoProcess}));
  return pids;
}

// A stand-in for /proc in a temporary folder: one directory per pid with an `exe` link.
class FakeProcRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("korvid-proc-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void AddProcess(int pid, const std::string& executable) {
    const fs::path dir = root_ / std::to_string(pid);
    fs::create_directories(dir);
    if (!executable.empty()) fs::create_symlink(executable, dir / "exe");
  }

  fs::path root_;
};

TEST_F(FakeProcRoot, WalksPidsInAscendingNumericOrder) {
  AddProcess(300, "/usr/bin/c");
  AddProcess(20, "/usr/bin/a");
  AddProcess(1000, "/usr/bin/d");
  AddProcess(100, "/usr/bin/b");
  fs::create_directories(root_ / "self-ish");  // not a pid
  fs::create_directories(root_ / "12x");
  LinuxProcessTable table(root_.string());
  EXPECT_EQ(Walk(table), (std::vector<std::uint32_t>{20, 100, 300, 1000}));
}

TEST_F(FakeProcRoot, NameIsTheExecutablesFullBaseName) {
  AddProcess(42, "/opt/korvid/Korvid Tessel.prefPane/Resources/KorvidTesselHelper");
  AddProcess(43, "/usr/bin/tool (deleted)");
  LinuxProcessTable table(root_.string());
  ProcessName name{};
  ASSERT_EQ(table.GetProcessName({0, 42}, name), noErr);
  EXPECT_EQ(NameOf(name), "KorvidTesselHelper");  // longer than the kernel's 15 bytes
  ASSERT_EQ(table.GetProcessName({0, 43}, name), noErr);
  EXPECT_EQ(NameOf(name), "tool");
}

TEST_F(FakeProcRoot, ProcessesWithoutExecutableAreSkipped) {
  AddProcess(5, "");  // a kernel thread
  AddProcess(6, "/usr/bin/real");
  LinuxProcessTable table(root_.string());
  EXPECT_EQ(Walk(table), (std::vector<std::uint32_t>{6}));
  ProcessName name{};
  EXPECT_EQ(table.GetProcessName({0, 5}, name), procNotFound);
}

TEST_F(FakeProcRoot, ProcessThatExitsDuringTheWalkIsSkipped) {
  AddProcess(10, "/usr/bin/first");
  AddProcess(11, "/usr/bin/leaving");
  AddProcess(12, "/usr/bin/last");
  LinuxProcessTable table(root_.string());
  ProcessSerialNumber psn{0, kNoProcess};
  ASSERT_EQ(table.GetNextProcess(psn), noErr);
  EXPECT_EQ(psn.lowLongOfPSN, 10u);
  fs::remove_all(root_ / "11");
  ASSERT_EQ(table.GetNextProcess(psn), noErr);
  EXPECT_EQ(psn.lowLongOfPSN, 12u);
  ProcessName name{};
  ASSERT_EQ(table.GetProcessName(psn, name), noErr);
  EXPECT_EQ(NameOf(name), "last");
  EXPECT_EQ(table.GetNextProcess(psn), procNotFound);
}

TEST_F(FakeProcRoot, NameReadWhileSteppingSurvivesTheProcessesExit) {
  AddProcess(10, "/usr/bin/brief");
  LinuxProcessTable table(root_.string());
  ProcessSerialNumber psn{0, kNoProcess};
  ASSERT_EQ(table.GetNextProcess(psn), noErr);
  fs::remove_all(root_ / "10");
  ProcessName name{};
  ASSERT_EQ(table.GetProcessName(psn, name), noErr);
  EXPECT_EQ(NameOf(name), "brief");
}

TEST(LinuxProcessTable, FindsItselfAndAChildUnderTheirExecutableName) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    close(ready[1]);
    (void)!read(ready[0], &byte, 1);  // lives until the parent closes the pipe
    _exit(0);
  }
  close(ready[0]);

  LinuxProcessTable table;
  const std::vector<std::uint32_t> pids = Walk(table);
  EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<std::uint32_t>(getpid())), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<std::uint32_t>(child)), pids.end());

  const std::string own = fs::read_symlink("/proc/self/exe").filename().string();
  ProcessName name{};
  ASSERT_EQ(table.GetProcessName(table.CurrentProcess(), name), noErr);
  EXPECT_EQ(NameOf(name), own);
  ASSERT_EQ(table.GetProcessName({0, kCurrentProcess}, name), noErr);
  EXPECT_EQ(NameOf(name), own);

  close(ready[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(table.GetProcessName({0, static_cast<std::uint32_t>(child)}, name), procNotFound);
}

TEST(LinuxProcessTable, SameProcessResolvesTheCurrentProcess) {
  LinuxProcessTable table;
  bool same = false;
  ASSERT_EQ(table.SameProcess(table.CurrentProcess(), {0, kCurrentProcess}, same), noErr);
  EXPECT_TRUE(same);
  ASSERT_EQ(table.SameProcess({0, 12345}, {0, kCurrentProcess}, same), noErr);
  EXPECT_EQ(same, static_cast<pid_t>(12345) == getpid());
  EXPECT_EQ(table.SameProcess({0, kNoProcess}, {0, kCurrentProcess}, same), procNotFound);
  EXPECT_EQ(table.SameProcess({1, 5}, {0, 5}, same), procNotFound);
}

TEST(FakeProcessTable, WalksAndNamesLikeTheRealOne) {
  FakeProcessTable table(7);
  table.Add(30, "c");
  table.Add(7, "self");
  table.Add(9, "b");
  EXPECT_EQ(Walk(table), (std::vector<std::uint32_t>{7, 9, 30}));
  ProcessName name{};
  ASSERT_EQ(table.GetProcessName({0, kCurrentProcess}, name), noErr);
  EXPECT_EQ(NameOf(name), "self");
  table.FailNameOf(9, -1);
  EXPECT_EQ(table.GetProcessName({0, 9}, name), -1);
  table.Remove(30);
  EXPECT_EQ(table.GetProcessName({0, 30}, name), procNotFound);
}

}  // namespace
}  // namespace korvid
