// SPDX-License-Identifier: MIT
// Support for tests that need real processes on a real bus: a private dbus-daemon
// started and stopped by the test, and child processes with pipes on their standard
// input and output. All waiting is for an event (a line, an exit), with a generous limit
// so a broken test fails instead of hanging; a folder's changes are such events too.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace korvid::testing {

inline constexpr int kGenerousWaitMs = 20000;

// Waits until `done` holds, re-checking whenever something changes in `folder`.
template <typename Done>
inline bool WaitForFolder(const std::string& folder, Done done, int timeoutMs = kGenerousWaitMs) {
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, folder.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ok = done();
  while (!ok) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{watch, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
    alignas(inotify_event) char buffer[4096];
    while (read(watch, buffer, sizeof buffer) > 0) {
    }
    ok = done();
  }
  close(watch);
  return ok;
}

// A session-type bus of our own, on an abstract socket, for this test only.
class PrivateBus {
 public:
  // `admitOtherUsers` lets any local user connect, as a session bus never does; tests of
  // a port's own check of its callers need it.
  explicit PrivateBus(bool admitOtherUsers = false);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool Running() const { return !address_.empty(); }
  const std::string& Address() const { return address_; }
  const std::string& Error() const { return error_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string configPath_;
  std::string error_;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `args` (argv[1]...), its environment plus `extraEnv` entries of the
  // form NAME=value. Its standard input and output are pipes to us.
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::vector<std::string>& extraEnv);

  pid_t Pid() const { return pid_; }
  // Reads one line of the child's output (without the newline). False on end of output
  // or when nothing came within `timeoutMs`.
  bool ReadLine(std::string& line, int timeoutMs = kGenerousWaitMs);
  // Reads lines until one starts with `prefix`; that line is returned in `line`.
  bool WaitForLine(const std::string& prefix, std::string& line, int timeoutMs = kGenerousWaitMs);
  bool WriteLine(const std::string& line);
  void CloseInput();
  // Waits until the child's output ends and it exits; returns its wait status, or -1.
  int WaitExit(int timeoutMs = kGenerousWaitMs);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

// Starts `path` as ChildProcess::Start does, with a NOTIFY_SOCKET in `folder`, and waits
// until it reports "READY=1" there, as a systemd service does through sd_notify.
bool StartService(ChildProcess& child, const std::string& path, const std::vector<std::string>& args,
                  const std::string& folder, int timeoutMs = kGenerousWaitMs);

// Copies an executable into `folder` under `name` (a copy, not a link, so the process's
// executable really has that name).
bool CopyExecutable(const std::string& from, const std::string& folder, const std::string& name);

// A fresh temporary folder, removed by the destructor.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace korvid::testing
