// SPDX-License-Identifier: MIT
// Cost of the acceleration curve per motion report.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "driver/AccelerationCurve.h"

namespace {

struct Report {
  std::int32_t dx, dy;
};

std::vector<Report> Reports() {
  std::mt19937 random(1);
  std::uniform_int_distribution<int> delta(-40, 40);
  std::vector<Report> reports(4096);
  for (auto& r : reports) r = {delta(random), delta(random)};
  return reports;
}

void BM_CurvePerMotionReport(benchmark::State& state) {
  const auto reports = Reports();
  korvid::MotionAccelerator accelerator;
  accelerator.SetParameter(static_cast<std::int32_t>(state.range(0)));
  std::int64_t time = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    const Report& r = reports[i++ & 4095];
    time += 1000;  // a 1000 Hz mouse
    benchmark::DoNotOptimize(accelerator.Apply(r.dx, r.dy, time));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CurvePerMotionReport)->Arg(0)->Arg(45056)->Arg(131072);

}  // namespace

BENCHMARK_MAIN();
