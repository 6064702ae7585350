// SPDX-License-Identifier: MIT
// Capturing one mouse: from its arrival to a filled state record, with the real sleeper.
// The time that counts is the time the capture is told to wait (the 250 ms settle and the
// pauses the mouse commands mandate); the ratio shows what the rest costs on top.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/CountingSleeper.h"
#include "pane/KorvidTesselPane.h"
#include "platform/devices/SimulatedDeviceWatcher.h"
#include "sim/SimulatedTessel.h"

namespace korvid {
namespace {

void BM_CaptureOneMouse(benchmark::State& state) {
  CountingSleeper sleeper;
  double wall = 0;
  for (auto _ : state) {
    auto owned = std::make_unique<SimulatedDeviceWatcher>();
    SimulatedDeviceWatcher* watcher = owned.get();
    KorvidTesselPane pane(std::move(owned), sleeper);
    pane.StartHandlingDevices();
    auto mouse = std::make_shared<SimulatedTessel>();
    watcher->Plug(mouse);
    const auto start = std::chrono::steady_clock::now();
    watcher->DeliverPending();  // arrival -> settle -> clear busy -> state read
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (pane.CapturedDeviceCount() != 1 || pane.FirstCapturedDevice()->state.firmwareVers == 0) {
      state.SkipWithError("mouse not captured");
      break;
    }
    state.PauseTiming();
    pane.StopHandlingDevices();
    state.ResumeTiming();
  }
  const double requested = static_cast<double>(sleeper.requested.load()) / 1e6;
  state.counters["wall_s"] = wall / static_cast<double>(state.iterations());
  state.counters["mandated_s"] = requested / static_cast<double>(state.iterations());
  state.counters["ratio"] = requested > 0 ? wall / requested : 0;
}
BENCHMARK(BM_CaptureOneMouse)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace korvid

BENCHMARK_MAIN();
