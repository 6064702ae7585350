// SPDX-License-Identifier: MIT
// AddLoginItem on a login items file of 1,000 entries. Goal: under 20 ms per call.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pane/loginitems/LoginItems.h"

namespace {
namespace fs = std::filesystem;
using namespace korvid;

constexpr const char* kHelper =
    "/usr/local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/KorvidTesselHelper.app";

class Fixture {
 public:
  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "korvid-bench-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directories(root_ / "home/user/.config/korvid");
  }
  ~Fixture() { fs::remove_all(root_); }

  // `entries` applications, then (if asked) the helper itself at the end.
  void WriteList(int entries, bool withHelper) {
    std::ofstream out(File(), std::ios::trunc);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>AutoLaunchedApplicationDictionary</key><array>\n";
    for (int i = 0; i < entries; ++i) {
      out << "<dict><key>Hide</key><false/><key>Path</key><string>/opt/apps/Application Number " << i
          << ".app</string></dict>\n";
    }
    if (withHelper) out << "<dict><key>Hide</key><false/><key>Path</key><string>" << kHelper << "</string></dict>\n";
    out << "</array></dict></plist>\n";
  }
  fs::path File() const { return root_ / "home/user/.config/korvid/loginWindow.plist"; }
  FolderLocator Folders() const { return FolderLocator::RootedAt(root_); }

 private:
  fs::path root_;
};

// The helper is not yet listed: the list is scanned, the entry appended, the file written.
void BM_AddLoginItemAppends(benchmark::State& state) {
  Fixture fixture;
  const FolderLocator folders = fixture.Folders();
  for (auto _ : state) {
    state.PauseTiming();
    fixture.WriteList(static_cast<int>(state.range(0)), false);
    state.ResumeTiming();
    if (AddLoginItem(folders, kHelper, nullptr, 0, 1, nullptr) != noErr) state.SkipWithError("add failed");
  }
}
BENCHMARK(BM_AddLoginItemAppends)->Arg(1000)->Unit(benchmark::kMillisecond);

// The helper is already listed (the call the settings pane makes at every load).
void BM_AddLoginItemAlreadyRegistered(benchmark::State& state) {
  Fixture fixture;
  fixture.WriteList(static_cast<int>(state.range(0)), true);
  const FolderLocator folders = fixture.Folders();
  for (auto _ : state) {
    if (AddLoginItem(folders, kHelper, nullptr, 0, 1, nullptr) != noErr) state.SkipWithError("add failed");
  }
}
BENCHMARK(BM_AddLoginItemAlreadyRegistered)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
