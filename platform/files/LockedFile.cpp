// SPDX-License-Identifier: MIT
#include "platform/files/LockedFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>
#include <vector>

#include "platform/files/FileStatus.h"

namespace korvid {
namespace fs = std::filesystem;

namespace {

std::function<void()>& BeforeRenameHook() {
  static std::function<void()> hook;
  return hook;
}

// After this many times of finding the file replaced between open and lock, give up.
constexpr int kMaxOpenAttempts = 1000;
constexpr int kMaxSymbolicLinks = 40;

int LockExclusive(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

OSStatus WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return FileStatusFromErrno(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return noErr;
}

// Whether `name` is a temporary file of `fileName` as WriteBeside makes them:
// ".<file name>" kTemporaryMarker, then mkostemp's six letters or digits.
bool IsTemporaryOf(std::string_view name, std::string_view fileName) {
  constexpr std::size_t kRandomLength = 6;
  const std::string_view marker = kTemporaryMarker;
  if (name.size() != 1 + fileName.size() + marker.size() + kRandomLength || name[0] != '.' ||
      name.substr(1, fileName.size()) != fileName || name.substr(1 + fileName.size(), marker.size()) != marker) {
    return false;
  }
  for (char c : name.substr(name.size() - kRandomLength)) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// Removes temporaries of `fileName` in `folder` that a killed writer left behind.
void RemoveStaleTemporaries(const fs::path& folder, std::string_view fileName, uid_t fileOwner) {
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  DIR* stream = fdopendir(dir);
  if (stream == nullptr) {
    close(dir);
    return;
  }
  const time_t now = time(nullptr);
  while (const dirent* entry = readdir(stream)) {
    if (!IsTemporaryOf(entry->d_name, fileName)) continue;
    struct stat info {};
    if (fstatat(dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    if (info.st_uid != geteuid() && info.st_uid != fileOwner) continue;
    if (now - info.st_mtim.tv_sec < kStaleTemporarySeconds) continue;  // maybe a writer at work
    unlinkat(dirfd(stream), entry->d_name, 0);
  }
  closedir(stream);
}

// Writes `contents` to a temporary file beside `target` (mode and, for root, owner of
// `like`), flushes it and renames it to `destination`. The temporary never outlives a
// failure.
OSStatus WriteBeside(const fs::path& target, const fs::path& destination, std::string_view contents,
                     const struct stat& like) {
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  RemoveStaleTemporaries(folder, target.filename().string(), like.st_uid);
  std::string pattern = (folder / ("." + target.filename().string() + kTemporaryMarker + "XXXXXX")).string();
  int temp = mkostemp(pattern.data(), O_CLOEXEC);
  if (temp < 0) return FileStatusFromErrno(errno);

  OSStatus status = WriteAll(temp, contents);
  if (status == noErr && fchmod(temp, like.st_mode & 07777) != 0) status = FileStatusFromErrno(errno);
  if (status == noErr && geteuid() == 0) {
    // Root editing a user's file leaves it that user's.
    if (fchown(temp, like.st_uid, like.st_gid) != 0) status = FileStatusFromErrno(errno);
  }
  if (status == noErr && fsync(temp) != 0) status = FileStatusFromErrno(errno);
  if (close(temp) != 0 && status == noErr) status = FileStatusFromErrno(errno);
  if (status == noErr) {
    if (auto& hook = BeforeRenameHook()) hook();
    if (rename(pattern.c_str(), destination.c_str()) != 0) status = FileStatusFromErrno(errno);
  }
  if (status != noErr) {
    unlink(pattern.c_str());
    return status;
  }
  // Make the rename itself durable.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return noErr;
}

}  // namespace

OSStatus ResolveSymbolicLinks(const fs::path& path, fs::path& target) {
  fs::path current = path;
  for (int links = 0; links <= kMaxSymbolicLinks; ++links) {
    struct stat info {};
    if (lstat(current.c_str(), &info) != 0) {
      if (errno == ENOENT) {
        target = current;  // the last name does not exist yet: it is the file to create
        return noErr;
      }
      return FileStatusFromErrno(errno);
    }
    if (!S_ISLNK(info.st_mode)) {
      target = current;
      return noErr;
    }
    std::vector<char> buffer(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
    ssize_t length = readlink(current.c_str(), buffer.data(), buffer.size());
    if (length < 0) return FileStatusFromErrno(errno);
    if (static_cast<std::size_t>(length) >= buffer.size()) return ioErr;  // changed under us
    fs::path next(std::string(buffer.data(), static_cast<std::size_t>(length)));
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return FileStatusFromErrno(ELOOP);
}

LockedFile::~LockedFile() { Close(); }

LockedFile::LockedFile(LockedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), target_(std::move(other.target_)) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    target_ = std::move(other.target_);
  }
  return *this;
}

void LockedFile::Close() {
  if (fd_ >= 0) {
    close(fd_);  // releases the lock
    fd_ = -1;
  }
}

OSStatus LockedFile::Open(const fs::path& path, IfMissing ifMissing) {
  Close();
  fs::path target;
  if (OSStatus status = ResolveSymbolicLinks(path, target); status != noErr) return status;

  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                    (ifMissing == IfMissing::kCreateEmpty ? O_CREAT : 0);
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    int fd = open(target.c_str(), flags, 0666);
    if (fd < 0) return FileStatusFromErrno(errno);
    if (int error = LockExclusive(fd); error != 0) {
      close(fd);
      return FileStatusFromErrno(error);
    }
    // Another editor may have replaced the file while this one waited for the lock; the
    // lock then guards the old, unlinked file. Start again on the new one.
    struct stat locked {};
    struct stat current {};
    if (fstat(fd, &locked) != 0) {
      int error = errno;
      close(fd);
      return FileStatusFromErrno(error);
    }
    if (stat(target.c_str(), &current) == 0 && current.st_dev == locked.st_dev &&
        current.st_ino == locked.st_ino) {
      fd_ = fd;
      target_ = std::move(target);
      return noErr;
    }
    close(fd);
  }
  return ioErr;
}

OSStatus LockedFile::ReadAll(std::string& contents) const {
  if (fd_ < 0) return paramErr;
  struct stat info {};
  if (fstat(fd_, &info) != 0) return FileStatusFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return ioErr;
  std::string data;
  data.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t got = pread(fd_, buffer, sizeof buffer, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return FileStatusFromErrno(errno);
    }
    if (got == 0) break;
    data.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  contents = std::move(data);
  return noErr;
}

OSStatus LockedFile::Replace(std::string_view contents) {
  if (fd_ < 0) return paramErr;
  struct Finish {
    LockedFile& file;
    ~Finish() { file.Close(); }
  } finish{*this};
  struct stat info {};
  if (fstat(fd_, &info) != 0) return FileStatusFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return ioErr;
  // The file itself must be writable, as for a write in place.
  if (faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return FileStatusFromErrno(errno);
  return WriteBeside(target_, target_, contents, info);
}

OSStatus LockedFile::KeepCopy(std::string_view suffix, std::string_view contents) const {
  if (fd_ < 0) return paramErr;
  struct stat info {};
  if (fstat(fd_, &info) != 0) return FileStatusFromErrno(errno);
  fs::path copy = target_;
  copy += std::string(suffix);
  return WriteBeside(target_, copy, contents, info);
}

void LockedFile::SetBeforeRenameHookForTesting(std::function<void()> hook) {
  BeforeRenameHook() = std::move(hook);
}

}  // namespace korvid
