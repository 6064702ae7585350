// SPDX-License-Identifier: MIT
// FindNamedProcess over 500 processes, the helper last (the whole table is walked).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "pane/messages/ControlMessages.h"
#include "platform/process/testing/FakeProcessTable.h"
#include "platform/process/LinuxProcessTable.h"

namespace {

using namespace korvid;

void BM_FindNamedProcess500(benchmark::State& state) {
  FakeProcessTable table(1);
  for (std::uint32_t pid = 1; pid < 500; ++pid) table.Add(pid * 7, "process-name-" + std::to_string(pid));
  table.Add(500 * 7, "KorvidTesselHelper");
  const Str255 name = MakeStr255("korvidtesselhelper");
  for (auto _ : state) {
    ProcessSerialNumber psn{};
    benchmark::DoNotOptimize(FindNamedProcess(table, name, &psn));
  }
}
BENCHMARK(BM_FindNamedProcess500)->Unit(benchmark::kMicrosecond);

// The same search over this machine's /proc (how many processes depends on the machine).
void BM_FindNamedProcessProc(benchmark::State& state) {
  LinuxProcessTable table;
  const Str255 name = MakeStr255("no-such-process-name");
  std::size_t processes = 0;
  for (auto _ : state) {
    ProcessSerialNumber psn{};
    benchmark::DoNotOptimize(FindNamedProcess(table, name, &psn));
  }
  ProcessSerialNumber psn{0, kNoProcess};
  while (table.GetNextProcess(psn) == noErr) ++processes;
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(BM_FindNamedProcessProc)->Unit(benchmark::kMicrosecond);

// The /proc walk itself over 500 processes: a stand-in proc folder with 500 entries, the
// helper last.
void BM_FindNamedProcessProcRoot500(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("korvid-bench-proc-" + std::to_string(getpid()));
  fs::remove_all(root);
  for (int pid = 1; pid <= 500; ++pid) {
    fs::create_directories(root / std::to_string(pid * 7));
    fs::create_symlink(pid == 500 ? "/opt/korvid/KorvidTesselHelper" : "/usr/bin/process-" + std::to_string(pid),
                       root / std::to_string(pid * 7) / "exe");
  }
  LinuxProcessTable table(root.string());
  const Str255 name = MakeStr255("korvidtesselhelper");
  for (auto _ : state) {
    ProcessSerialNumber psn{};
    if (FindNamedProcess(table, name, &psn) != noErr) state.SkipWithError("not found");
  }
  fs::remove_all(root);
}
BENCHMARK(BM_FindNamedProcessProcRoot500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
