// SPDX-License-Identifier: MIT
// One read-modify-write of a user's file, safe against crashes and other writers.
//
// Opening takes an exclusive advisory lock (flock) on the file and holds it until the
// LockedFile is destroyed, so two editors never interleave their read and write. The
// new contents replace the file atomically: they go to a temporary file in the same
// folder, are flushed to disk, and are renamed over the file, so a reader (or a crash)
// sees either the old document or the new one, never a truncated one. A symbolic link
// is followed: the file it points to is edited, and the link stays a link.
//
// A writer killed between its temporary file (".<file name>.korvid-partial-XXXXXX") and
// the rename leaves that file behind; the next writer of the same file removes such
// temporaries once they are older than kStaleTemporarySeconds (only regular files of
// exactly that pattern, whose marker no person or other program chooses, owned by the
// writer or by the file's owner; links are never followed).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Status.h"

namespace korvid {

inline constexpr int kStaleTemporarySeconds = 60;
// What sets our temporary files apart from the user's own ".<file name>.<suffix>" files.
inline constexpr const char* kTemporaryMarker = ".korvid-partial-";
// What a document that cannot be read is kept as, beside it, before it is replaced.
inline constexpr const char* kDamagedCopySuffix = ".damaged";

class LockedFile {
 public:
  enum class IfMissing { kFail, kCreateEmpty };

  LockedFile() = default;
  ~LockedFile();
  LockedFile(LockedFile&& other) noexcept;
  LockedFile& operator=(LockedFile&& other) noexcept;
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // Opens and locks `path`. A missing file is fnfErr, or is created empty (mode 0666
  // less the umask) with kCreateEmpty. Other failures are the file statuses of errno.
  OSStatus Open(const std::filesystem::path& path, IfMissing ifMissing);

  // Reads the whole file as it is now. Fails on a file that is not a regular file.
  OSStatus ReadAll(std::string& contents) const;

  // Replaces the file's contents atomically, keeping its permission bits (and owner,
  // where the process may set it), and ends the edit (the lock goes with the old file):
  // one Replace per Open.
  OSStatus Replace(std::string_view contents);

  // Writes `contents` beside the file as <file name><suffix> (e.g. the bytes of a damaged
  // document, before Replace writes over them), the same way and with the same
  // permission bits, replacing an older copy. The edit goes on.
  OSStatus KeepCopy(std::string_view suffix, std::string_view contents) const;

  bool IsOpen() const { return fd_ >= 0; }
  // The file actually edited (symbolic links resolved).
  const std::filesystem::path& Target() const { return target_; }

  void Close();

  // Called between the flushed temporary file and the rename; tests use it to stand
  // for a crash at that moment. Process-wide.
  static void SetBeforeRenameHookForTesting(std::function<void()> hook);

 private:
  int fd_ = -1;
  std::filesystem::path target_;
};

// Follows symbolic links from `path` (relative targets against the link's folder) up
// to the first name that is not a link, which may not exist yet. ELOOP after 40 links.
OSStatus ResolveSymbolicLinks(const std::filesystem::path& path, std::filesystem::path& target);

}  // namespace korvid
