// SPDX-License-Identifier: MIT
#include "platform/admin/PrivilegedRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace korvid {

OSStatus SpawnAndWait(const std::filesystem::path& program, std::span<const std::string> arguments,
                      int& exitStatus, bool quiet) {
  std::vector<char*> argv;
  std::string first = program.string();
  argv.push_back(first.data());
  std::vector<std::string> copies(arguments.begin(), arguments.end());
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, first.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return errAuthorizationToolExecuteFailure;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return errAuthorizationToolExecuteFailure;
  }
  if (WIFEXITED(status)) {
    exitStatus = WEXITSTATUS(status);
  } else {
    exitStatus = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  return noErr;
}

OSStatus PkexecRunner::RunTool(const std::filesystem::path& tool, std::span<const std::string> arguments,
                               int& exitStatus) {
  std::vector<std::string> pkexecArguments;
  pkexecArguments.push_back(tool.string());
  pkexecArguments.insert(pkexecArguments.end(), arguments.begin(), arguments.end());
  int status = 0;
  if (const OSStatus started = SpawnAndWait(pkexec_, pkexecArguments, status); started != noErr) {
    return started;
  }
  // pkexec: 126 = the user dismissed the authentication dialogue; 127 = not authorised,
  // or authorisation could not be obtained (no agent, or the tool could not be run).
  if (status == 126) return errAuthorizationCanceled;
  if (status == 127) return errAuthorizationDenied;
  exitStatus = status;
  return noErr;
}

}  // namespace korvid
