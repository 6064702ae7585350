// SPDX-License-Identifier: MIT
#include "platform/files/ItemRef.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/FileStatus.h"

namespace korvid {
namespace fs = std::filesystem;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The descriptor and name an operation works on: the folder and the entry's name, or,
// for the folder itself, the folder and "." with AT_EMPTY_PATH semantics left aside.
const char* EntryName(const ItemRef& item) { return item.name.empty() ? "." : item.name.c_str(); }

}  // namespace

FolderRef FolderRef::Adopt(int fd, fs::path path) {
  FolderRef folder;
  folder.fd_ = std::shared_ptr<const int>(new int(fd), [](const int* owned) {
    close(*owned);
    delete owned;
  });
  folder.path_ = std::move(path);
  return folder;
}

OSStatus FolderRef::Open(const fs::path& folder, FolderRef& out) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR ? dirNFErr : FileStatusFromErrno(errno);
  out = Adopt(fd, folder);
  return noErr;
}

std::uint32_t CallerUserID() { return geteuid(); }

OSStatus CheckItemName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return bdNamErr;
  }
  return noErr;
}

OSStatus GetItemInfo(const ItemRef& item, ItemInfo& info) {
  if (!item.Valid()) return paramErr;
  struct stat st {};
  if (fstatat(item.folder.Fd(), EntryName(item), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FileStatusFromErrno(errno);
  }
  if (S_ISDIR(st.st_mode)) {
    info.kind = ItemKind::kFolder;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = ItemKind::kLink;
  } else if (S_ISREG(st.st_mode)) {
    info.kind = ItemKind::kFile;
  } else {
    info.kind = ItemKind::kOther;
  }
  info.modified = st.st_mtim;
  info.owner = st.st_uid;
  info.mode = st.st_mode & 07777;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.mountId = 0;
  struct statx mount {};
  if (statx(item.folder.Fd(), EntryName(item), AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &mount) == 0 &&
      (mount.stx_mask & STATX_MNT_ID) != 0) {
    info.mountId = mount.stx_mnt_id;
  }
  return noErr;
}

OSStatus OpenFolderItem(const ItemRef& item, FolderRef& out) {
  if (!item.Valid()) return paramErr;
  if (item.name.empty()) {
    out = item.folder;
    return noErr;
  }
  const int fd = openat(item.folder.Fd(), item.name.c_str(), kFolderFlags);
  if (fd < 0) {
    // A link refused by O_NOFOLLOW is ELOOP; a file is ENOTDIR.
    if (errno == ELOOP || errno == ENOTDIR) return dirNFErr;
    return FileStatusFromErrno(errno);
  }
  out = FolderRef::Adopt(fd, item.Path());
  return noErr;
}

OSStatus ListFolder(const FolderRef& folder, std::vector<std::string>& names) {
  names.clear();
  if (!folder.Valid()) return paramErr;
  // A descriptor of its own for the stream, reading from the start.
  const int fd = openat(folder.Fd(), ".", kFolderFlags);
  if (fd < 0) return FileStatusFromErrno(errno);
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    return FileStatusFromErrno(error);
  }
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
    errno = 0;
  }
  const int error = errno;
  closedir(stream);
  return error == 0 ? noErr : FileStatusFromErrno(error);
}

OSStatus RemoveItem(const ItemRef& item, bool asFolder) {
  if (!item.Valid()) return paramErr;
  if (CheckItemName(item.name) != noErr) return bdNamErr;
  if (unlinkat(item.folder.Fd(), item.name.c_str(), asFolder ? AT_REMOVEDIR : 0) != 0) {
    return FileStatusFromErrno(errno);
  }
  return noErr;
}

OSStatus SetModificationDate(const ItemRef& item, const timespec& date) {
  if (!item.Valid()) return paramErr;
  const timespec times[2] = {{0, UTIME_OMIT}, date};
  const int result = item.name.empty()
                         ? futimens(item.folder.Fd(), times)
                         : utimensat(item.folder.Fd(), item.name.c_str(), times, AT_SYMLINK_NOFOLLOW);
  return result == 0 ? noErr : FileStatusFromErrno(errno);
}

OSStatus RenameItem(const ItemRef& item, const FolderRef& destination, std::string_view newName) {
  if (!item.Valid() || !destination.Valid()) return paramErr;
  if (CheckItemName(item.name) != noErr || CheckItemName(newName) != noErr) return bdNamErr;
  const std::string to(newName);
  if (renameat2(item.folder.Fd(), item.name.c_str(), destination.Fd(), to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return dupFNErr;
    if (errno == EXDEV) return diffVolErr;
    return FileStatusFromErrno(errno);
  }
  return noErr;
}

OSStatus RestrictFolder(const FolderRef& folder) {
  if (!folder.Valid()) return paramErr;
  struct stat st {};
  if (fstat(folder.Fd(), &st) != 0) return FileStatusFromErrno(errno);
  if ((st.st_mode & 022) == 0) return noErr;
  return fchmod(folder.Fd(), st.st_mode & 07755) == 0 ? noErr : FileStatusFromErrno(errno);
}

OSStatus ReadFileData(const ItemRef& item, std::vector<std::uint8_t>& data, std::uint64_t limit) {
  if (!item.Valid() || item.name.empty()) return paramErr;
  const int fd = openat(item.folder.Fd(), item.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return FileStatusFromErrno(errno);
  struct stat st {};
  OSStatus status = fstat(fd, &st) == 0 ? noErr : FileStatusFromErrno(errno);
  if (status == noErr && static_cast<std::uint64_t>(st.st_size) > limit) status = memFullErr;
  if (status == noErr) {
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t got = read(fd, data.data() + done, data.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        status = FileStatusFromErrno(errno);
        break;
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    data.resize(done);
  }
  close(fd);
  return status;
}

OSStatus WriteFileData(const ItemRef& item, std::span<const std::uint8_t> data, std::uint32_t mode) {
  if (!item.Valid() || item.name.empty()) return paramErr;
  const std::string temporary = "." + item.name + ".new";
  unlinkat(item.folder.Fd(), temporary.c_str(), 0);  // a leftover of an interrupted write
  const int fd = openat(item.folder.Fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) return FileStatusFromErrno(errno);
  OSStatus status = noErr;
  std::size_t done = 0;
  while (status == noErr && done < data.size()) {
    const ssize_t written = write(fd, data.data() + done, data.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) status = FileStatusFromErrno(errno);
    else done += static_cast<std::size_t>(written);
  }
  if (status == noErr && fchmod(fd, static_cast<mode_t>(mode)) != 0) status = FileStatusFromErrno(errno);
  if (status == noErr && fsync(fd) != 0) status = FileStatusFromErrno(errno);
  close(fd);
  if (status == noErr && renameat(item.folder.Fd(), temporary.c_str(), item.folder.Fd(), item.name.c_str()) != 0) {
    status = FileStatusFromErrno(errno);
  }
  if (status != noErr) unlinkat(item.folder.Fd(), temporary.c_str(), 0);
  return status;
}

OSStatus ReadLinkTarget(const ItemRef& item, std::string& target) {
  if (!item.Valid() || item.name.empty()) return paramErr;
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlinkat(item.folder.Fd(), item.name.c_str(), buffer.data(), buffer.size());
    if (length < 0) return FileStatusFromErrno(errno);
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      target = std::move(buffer);
      return noErr;
    }
    if (buffer.size() >= 65536) return paramErr;
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace korvid
