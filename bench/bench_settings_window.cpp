// SPDX-License-Identifier: MIT
// The settings window from process start to its first painted frame, with the simulated
// mouse and without the pauses the mouse's protocol mandates (--no-device-waits): the
// program is started, loads the pane library, captures the mouse, draws its window on the
// offscreen platform and quits. "wall" is spawn to exit; "first_frame_ms" is what the
// program itself measured from the start of main to the first frame.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool RunOnce(double& wallSeconds, double& firstFrameMs) {
  char stateTemplate[] = "/tmp/korvid-bench-state-XXXXXX";
  const int stateFd = mkstemp(stateTemplate);
  if (stateFd < 0) return false;
  close(stateFd);
  unlink(stateTemplate);  // the program starts from the shipped state

  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  std::vector<std::string> args = {KORVID_SETTINGS_PROGRAM, "--simulated", "--no-device-waits",
                                   "--quit-after-first-frame", "--simulated-state", stateTemplate};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return false;
  }
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unlink(stateTemplate);
  const std::string marker = "first frame after ";
  const std::size_t at = text.find(marker);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || at == std::string::npos) return false;
  firstFrameMs = std::atof(text.c_str() + at + marker.size());
  return true;
}

void BM_SettingsWindowFirstFrame(benchmark::State& state) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The program writes the user's login items and settings: keep them out of the way.
  char configTemplate[] = "/tmp/korvid-bench-config-XXXXXX";
  if (mkdtemp(configTemplate) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  setenv("XDG_CONFIG_HOME", configTemplate, 1);
  double frames = 0;
  for (auto _ : state) {
    double wall = 0;
    double firstFrame = 0;
    if (!RunOnce(wall, firstFrame)) {
      state.SkipWithError("the settings window did not draw its first frame");
      break;
    }
    state.SetIterationTime(wall);
    frames += firstFrame;
  }
  std::filesystem::remove_all(configTemplate);
  state.counters["first_frame_ms"] = benchmark::Counter(frames / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SettingsWindowFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
