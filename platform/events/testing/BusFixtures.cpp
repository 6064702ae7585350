// SPDX-License-Identifier: MIT
#include "platform/events/testing/BusFixtures.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace korvid::testing {
namespace {

namespace fs = std::filesystem;

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads from `fd` into `buffer` until it holds a full line; false on end or timeout.
bool ReadLineFrom(int fd, std::string& buffer, std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t newline = buffer.find('\n');
    if (newline != std::string::npos) {
      line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      return true;
    }
    pollfd waitFor{fd, POLLIN, 0};
    const int ready = poll(&waitFor, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[512];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(got));
  }
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "korvid-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (!path_.empty()) {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
}

PrivateBus::PrivateBus(bool admitOtherUsers) {
  char pattern[] = "/tmp/korvid-bus-XXXXXX.conf";
  const int configFd = mkstemps(pattern, 5);
  if (configFd < 0) {
    error_ = "cannot create the bus configuration";
    return;
  }
  configPath_ = pattern;
  const std::string config =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig>\n"
      "  <type>session</type>\n"
      "  <listen>unix:tmpdir=/tmp</listen>\n"
      "  <auth>EXTERNAL</auth>\n"
      "  <policy context=\"default\">\n"
      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
      "    <allow eavesdrop=\"true\"/>\n"
      "    <allow own=\"*\"/>\n" +
      std::string(admitOtherUsers ? "    <allow user=\"*\"/>\n" : "") +
      "  </policy>\n"
      "</busconfig>\n";
  const bool written = write(configFd, config.data(), config.size()) == static_cast<ssize_t>(config.size());
  close(configFd);
  if (!written) {
    error_ = "cannot write the bus configuration";
    return;
  }

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // Its warnings (it cannot raise its file limit when not run by root) are noise here.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{"dbus-daemon", "--config-file=" + configPath_, "--nofork",
                                "--print-address"};
  std::vector<char*> argv = Pointers(args);
  const int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    close(out[0]);
    error_ = std::string("cannot start dbus-daemon: ") + std::strerror(spawned);
    return;
  }
  std::string buffer, line;
  if (ReadLineFrom(out[0], buffer, line, kGenerousWaitMs) && !line.empty()) {
    address_ = line;
  } else {
    error_ = "dbus-daemon printed no address";
  }
  close(out[0]);
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (!configPath_.empty()) unlink(configPath_.c_str());
}

ChildProcess::~ChildProcess() {
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

  std::vector<std::string> argvStrings{path};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced |= extra.substr(0, extra.find('=')) == name;
    if (!replaced) envStrings.push_back(text);
  }
  envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argv = Pointers(argvStrings);
  std::vector<char*> envp = Pointers(envStrings);

  const int spawned = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    close(in[1]);
    close(out[0]);
    return false;
  }
  input_ = in[1];
  output_ = out[0];
  return true;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
  return output_ >= 0 && ReadLineFrom(output_, buffer_, line, timeoutMs);
}

bool ChildProcess::WaitForLine(const std::string& prefix, std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ReadLine(line, RemainingMs(deadline))) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

bool ChildProcess::WriteLine(const std::string& line) {
  if (input_ < 0) return false;
  const std::string text = line + "\n";
  return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

int ChildProcess::WaitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // The end of its output is the child's exit (its pipe closes with it).
  while (ReadLine(line, RemainingMs(deadline))) {
  }
  if (RemainingMs(deadline) == 0) return -1;
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  return status;
}

bool StartService(ChildProcess& child, const std::string& path, const std::vector<std::string>& args,
                  const std::string& folder, int timeoutMs) {
  const std::string notifyPath = folder + "/notify";
  sockaddr_un address{};
  if (notifyPath.size() >= sizeof address.sun_path) return false;
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (notify < 0) return false;
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, notifyPath.c_str());
  bool ready = bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               child.Start(path, args, {"NOTIFY_SOCKET=" + notifyPath});
  if (ready) {
    ready = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{notify, POLLIN, 0};
    while (!ready && poll(&p, 1, RemainingMs(deadline)) > 0) {
      char buffer[256] = {};
      ready = recv(notify, buffer, sizeof buffer - 1, 0) > 0 && std::strstr(buffer, "READY=1") != nullptr;
    }
  }
  close(notify);
  unlink(notifyPath.c_str());
  return ready;
}

bool CopyExecutable(const std::string& from, const std::string& folder, const std::string& name) {
  std::error_code error;
  const fs::path to = fs::path(folder) / name;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  if (error) return false;
  fs::permissions(to, fs::perms::owner_all, fs::perm_options::replace, error);
  return !error;
}

}  // namespace korvid::testing
