// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files/tests/TestFolder.h"
#include "platform/session/SessionLauncher.h"

namespace korvid {
namespace {
namespace fs = std::filesystem;
using testing::TempFolder;
using testing::WriteFile;

void WriteProgram(const fs::path& path, const std::string& body = "exit 0\n") {
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

std::string LoginItems(const std::vector<std::string>& elements) {
  std::string xml = "<plist><dict><key>AutoLaunchedApplicationDictionary</key><array>";
  for (const std::string& element : elements) xml += element;
  return xml + "</array></dict></plist>";
}
std::string Entry(const fs::path& path) {
  return "<dict><key>Hide</key><false/><key>Path</key><string>" + path.string() + "</string></dict>";
}

class RecordingSpawner final : public ProcessSpawner {
 public:
  OSStatus Spawn(const fs::path& executable, pid_t*) override {
    spawned.push_back(executable);
    return noErr;
  }
  std::vector<fs::path> spawned;
};

TEST(ApplicationExecutable, FindsTheProgramOfAFileOrAnApplicationFolder) {
  TempFolder temp;
  const fs::path& t = temp.path();
  WriteProgram(t / "tool");
  WriteProgram(t / "Plain.app/Plain");
  WriteProgram(t / "Mac.app/Contents/MacOS/Mac");
  WriteFile(t / "notes.txt", "not a program");
  fs::create_directories(t / "Empty.app");
  EXPECT_EQ(ApplicationExecutable(t / "tool"), t / "tool");
  EXPECT_EQ(ApplicationExecutable(t / "Plain.app"), t / "Plain.app/Plain");
  EXPECT_EQ(ApplicationExecutable(t / "Plain.app/"), t / "Plain.app/Plain");
  EXPECT_EQ(ApplicationExecutable(t / "Mac.app"), t / "Mac.app/Contents/MacOS/Mac");
  EXPECT_EQ(ApplicationExecutable(t / "notes.txt"), std::nullopt);
  EXPECT_EQ(ApplicationExecutable(t / "Empty.app"), std::nullopt);
  EXPECT_EQ(ApplicationExecutable(t / "missing.app"), std::nullopt);
  EXPECT_EQ(ApplicationExecutable("tool"), std::nullopt);  // relative: no fixed meaning at login
}

TEST(LoginItemPaths, ListsEntriesAndSkipsWhatIsNoEntry) {
  TempFolder temp;
  EXPECT_TRUE(LoginItemPaths(temp.path()).empty());  // no file
  WriteFile(temp.path() / "loginWindow.plist",
            LoginItems({Entry("/a.app"), "<string>/b.app</string>", "<dict><key>Path</key><integer>1</integer></dict>",
                        "<dict/>", Entry("/c.app")}));
  EXPECT_EQ(LoginItemPaths(temp.path()), (std::vector<fs::path>{"/a.app", "/c.app"}));
  WriteFile(temp.path() / "loginWindow.plist", "damaged");
  EXPECT_TRUE(LoginItemPaths(temp.path()).empty());
}

TEST(LaunchLoginItems, StartsEachRunnableItemOnceAndSkipsTheRest) {
  TempFolder temp;
  const fs::path& t = temp.path();
  WriteProgram(t / "apps/Helper.app/Helper");
  WriteProgram(t / "apps/tool");
  WriteFile(t / "apps/readme", "text");
  WriteFile(t / "prefs/loginWindow.plist",
            LoginItems({Entry(t / "apps/Gone.app"), Entry(t / "apps/Helper.app"), Entry(t / "apps/readme"),
                        Entry(t / "apps/tool"), Entry(t / "apps/../apps/Helper.app")}));
  RecordingSpawner spawner;
  LaunchLoginItems(t / "prefs", spawner);
  EXPECT_EQ(spawner.spawned, (std::vector<fs::path>{t / "apps/Helper.app/Helper", t / "apps/tool"}));
}

// The real launcher, as the session runs it: the helper it starts reports through a FIFO.
TEST(SessionLauncherProgram, StartsTheRegisteredHelperAtLogin) {
  TempFolder temp;
  const fs::path& t = temp.path();
  const fs::path fifo = t / "started";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteProgram(t / "apps/KorvidTesselHelper.app/KorvidTesselHelper", "echo \"started $0\" > '" + fifo.string() + "'\n");
  WriteFile(t / "config/korvid/loginWindow.plist", LoginItems({Entry(t / "apps/KorvidTesselHelper.app")}));

  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  pid_t launcher = fork();
  ASSERT_GE(launcher, 0);
  if (launcher == 0) {
    const std::string home = "HOME=" + t.string();
    const std::string config = "XDG_CONFIG_HOME=" + (t / "config").string();
    const char* argv[] = {KORVID_SESSION_LAUNCHER, nullptr};
    const char* envp[] = {home.c_str(), config.c_str(), "PATH=/usr/bin:/bin", nullptr};
    execve(KORVID_SESSION_LAUNCHER, const_cast<char**>(argv), const_cast<char**>(envp));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // Wait for the helper's message (an event, with a generous limit), then read it whole.
  std::string message;
  for (;;) {
    pollfd wait{reader, POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 30000), 1) << "the helper did not start";
    char buffer[256];
    ssize_t got = read(reader, buffer, sizeof buffer);
    if (got <= 0) break;
    message.append(buffer, static_cast<std::size_t>(got));
    if (!message.empty() && message.back() == '\n') break;
  }
  close(reader);
  EXPECT_EQ(message, "started " + (t / "apps/KorvidTesselHelper.app/KorvidTesselHelper").string() + "\n");
}

}  // namespace
}  // namespace korvid
