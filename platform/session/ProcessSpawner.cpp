// SPDX-License-Identifier: MIT
#include "platform/session/ProcessSpawner.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <string>

#include "platform/files/FileStatus.h"

extern char** environ;

namespace korvid {

OSStatus PosixSpawner::Spawn(const std::filesystem::path& executable, pid_t* pid) {
  posix_spawnattr_t attributes;
  if (int error = posix_spawnattr_init(&attributes); error != 0) return FileStatusFromErrno(error);
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // A session of its own: the application outlives the launcher and its terminal.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  std::string program = executable.string();
  char* argv[] = {program.data(), nullptr};
  pid_t child = -1;
  int error = posix_spawn(&child, program.c_str(), nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return FileStatusFromErrno(error);
  if (pid != nullptr) *pid = child;
  return noErr;
}

}  // namespace korvid
