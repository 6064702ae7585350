// SPDX-License-Identifier: MIT
#include "platform/process/LinuxProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace korvid {
namespace {

// A /proc directory entry's pid, or 0 if the entry is not a process.
pid_t ParsePid(const char* text) {
  const std::string_view digits(text);
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0) return 0;
  return pid;
}

void StoreName(std::string_view text, ProcessName& name) {
  const std::size_t n = std::min<std::size_t>(text.size(), 255);
  name[0] = static_cast<std::uint8_t>(n);
  std::memcpy(name.data() + 1, text.data(), n);
}

}  // namespace

LinuxProcessTable::LinuxProcessTable(std::string procRoot)
    : procRoot_(std::move(procRoot)),
      procFd_(open(procRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      uid_(geteuid()),
      self_(getpid()) {}

LinuxProcessTable::~LinuxProcessTable() {
  if (procFd_ >= 0) close(procFd_);
}

void LinuxProcessTable::TakeSnapshot() {
  snapshot_.clear();
  if (procFd_ < 0) return;
  // A directory stream of its own (fdopendir takes over the descriptor it is given).
  const int listFd = openat(procFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(listFd), closedir);
  if (!dir) {
    close(listFd);
    return;
  }
  const int dirFd = dirfd(dir.get());
  while (const dirent* entry = readdir(dir.get())) {
    const pid_t pid = ParsePid(entry->d_name);
    if (pid == 0) continue;
    struct stat info {};
    // A process's /proc entry belongs to its effective user.
    if (fstatat(dirFd, entry->d_name, &info, 0) != 0 || info.st_uid != uid_) continue;
    snapshot_.push_back(pid);
  }
  std::sort(snapshot_.begin(), snapshot_.end());
}

bool LinuxProcessTable::ReadName(pid_t pid, std::string& name) const {
  return ReadName(pid, name, /*ownerKnown=*/false);
}

bool LinuxProcessTable::ReadName(pid_t pid, std::string& name, bool ownerKnown) const {
  std::array<char, 32> entry{};
  std::snprintf(entry.data(), entry.size(), "%d", static_cast<int>(pid));
  std::array<char, 48> link{};
  std::snprintf(link.data(), link.size(), "%d/exe", static_cast<int>(pid));
  const auto ownedByUs = [&] {
    struct stat info {};
    return fstatat(procFd_, entry.data(), &info, 0) == 0 && info.st_uid == uid_;
  };
  if (procFd_ < 0 || (!ownerKnown && !ownedByUs())) return false;

  std::array<char, 4096> target{};
  const ssize_t length = readlinkat(procFd_, link.data(), target.data(), target.size() - 1);
  if (length > 0) {
    std::string_view path(target.data(), static_cast<std::size_t>(length));
    // An executable replaced or removed since the process started.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.remove_suffix(kDeleted.size());
    const std::size_t slash = path.rfind('/');
    name.assign(slash == std::string_view::npos ? path : path.substr(slash + 1));
    return !name.empty();
  }
  // Kernel threads have no executable; neither has a process that just exited.
  if (errno == ENOENT) return false;
  // The executable link can be closed to us (a process that made itself undumpable):
  // fall back on the kernel's command name, for a process that is still ours.
  if (ownerKnown && !ownedByUs()) return false;
  std::array<char, 48> commPath{};
  std::snprintf(commPath.data(), commPath.size(), "%d/comm", static_cast<int>(pid));
  const int fd = openat(procFd_, commPath.data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, 64> comm{};
  const ssize_t read = ::read(fd, comm.data(), comm.size());
  close(fd);
  if (read <= 0) return false;
  std::string_view text(comm.data(), static_cast<std::size_t>(read));
  if (text.ends_with('\n')) text.remove_suffix(1);
  name.assign(text);
  return !name.empty();
}

OSStatus LinuxProcessTable::GetNextProcess(ProcessSerialNumber& psn) {
  if (psn.highLongOfPSN != 0) return paramErr;
  if (psn.lowLongOfPSN == kNoProcess) TakeSnapshot();
  const auto after = static_cast<pid_t>(psn.lowLongOfPSN);
  for (auto it = std::upper_bound(snapshot_.begin(), snapshot_.end(), after); it != snapshot_.end();
       ++it) {
    std::string name;
    // Gone since the snapshot, or no executable. The snapshot has checked the owner.
    if (!ReadName(*it, name, /*ownerKnown=*/true)) continue;
    namedPid_ = *it;
    namedName_ = std::move(name);
    psn = {0, static_cast<std::uint32_t>(*it)};
    return noErr;
  }
  namedPid_ = 0;
  namedName_.clear();
  psn = {0, kNoProcess};
  return procNotFound;
}

OSStatus LinuxProcessTable::GetProcessName(const ProcessSerialNumber& psn, ProcessName& name) {
  name[0] = 0;
  if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN == kNoProcess) return procNotFound;
  // The name read when the walk stepped to this process stays valid for it while the walk
  // goes on, even if the process has exited since. (Checked first, so that a real process
  // with pid 2 met in a walk is not taken for the caller.)
  if (static_cast<pid_t>(psn.lowLongOfPSN) == namedPid_) {
    StoreName(namedName_, name);
    return noErr;
  }
  const pid_t pid =
      psn.lowLongOfPSN == kCurrentProcess ? self_ : static_cast<pid_t>(psn.lowLongOfPSN);
  if (pid <= 0) return procNotFound;
  std::string text;
  if (!ReadName(pid, text)) return procNotFound;
  StoreName(text, name);
  return noErr;
}

OSStatus LinuxProcessTable::SameProcess(const ProcessSerialNumber& a, const ProcessSerialNumber& b,
                                        bool& same) {
  same = false;
  const auto resolve = [this](const ProcessSerialNumber& psn) -> std::uint32_t {
    if (psn.highLongOfPSN != 0) return 0;
    if (psn.lowLongOfPSN == kCurrentProcess) return static_cast<std::uint32_t>(self_);
    return psn.lowLongOfPSN;
  };
  const std::uint32_t pidA = resolve(a);
  const std::uint32_t pidB = resolve(b);
  if (pidA == kNoProcess || pidB == kNoProcess) return procNotFound;
  same = pidA == pidB;
  return noErr;
}

ProcessSerialNumber LinuxProcessTable::CurrentProcess() const {
  return {0, static_cast<std::uint32_t>(self_)};
}

}  // namespace korvid
