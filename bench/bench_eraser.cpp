// SPDX-License-Identifier: MIT
// The eraser tool's whole run over a throw-away installation: a driver and a pane bundle
// of `files` files each (20 per folder), and `users` user folders, one with a pane.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "uninstaller/ekorvid/Eraser.h"

namespace {

namespace fs = std::filesystem;

void MakeBundle(const fs::path& bundle, int files) {
  for (int i = 0; i < files; ++i) {
    const fs::path folder = bundle / "Resources" / ("f" + std::to_string(i / 20));
    if (i % 20 == 0) fs::create_directories(folder);
    std::ofstream(folder / std::to_string(i)) << "x";
  }
}

void BM_EraseInstallation(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  const int users = static_cast<int>(state.range(1));
  std::string pattern = (fs::temp_directory_path() / "korvid-bench-eraser-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const fs::path root = pattern;
  for (auto _ : state) {
    state.PauseTiming();
    MakeBundle(root / "usr/local/lib/korvid/Extensions/KorvidTessel.kext", files);
    MakeBundle(root / "usr/local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane", files);
    for (int u = 0; u < users; ++u) fs::create_directories(root / "home" / ("user" + std::to_string(u)));
    fs::create_directories(root / "home/user0/.local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane");
    korvid::EraserContext context{korvid::FolderLocator::RootedAt(root),
                                  korvid::LinkFoldersBelow(root, "/usr/local"), root, nullptr, 0};
    const char* const arguments[] = {"ekorvid", "--runekorv"};
    state.ResumeTiming();
    benchmark::DoNotOptimize(korvid::RunEraser(arguments, context));
  }
  state.SetItemsProcessed(state.iterations() * 2 * files);
  fs::remove_all(root);
}
BENCHMARK(BM_EraseInstallation)->Args({100, 10})->Args({2000, 200})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
