// SPDX-License-Identifier: MIT
// Cost of the acceleration curve per motion report: the integer curve the kernel module
// and the daemon share, beside the same curve in double precision as the yardstick.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
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

// The curve in floating point, the yardstick of the integer one: speed from the
// hypotenuse, gain from the strength, each axis carrying its fraction (a remainder
// against the motion is dropped).
class FloatingPointCurve {
 public:
  explicit FloatingPointCurve(std::int32_t parameter) : strength_(std::max(parameter, 0) / 65536.0) {}

  korvid::MotionAccelerator::Motion Apply(std::int32_t dx, std::int32_t dy, std::int64_t timeUs) {
    // The first report comes after a pause.
    const double interval =
        haveLast_ ? std::clamp(static_cast<double>(timeUs - lastUs_), double{KORVID_CURVE_MIN_INTERVAL_US},
                               double{KORVID_CURVE_MAX_INTERVAL_US})
                  : double{KORVID_CURVE_MAX_INTERVAL_US};
    haveLast_ = true;
    lastUs_ = timeUs;
    if (strength_ <= 0) return {dx, dy};
    const double speed = std::sqrt(double(dx) * dx + double(dy) * dy) * 1000.0 / interval;
    const double excess = std::clamp(speed - KORVID_CURVE_THRESHOLD, 0.0, double{KORVID_CURVE_RANGE});
    const double gain = 1.0 + strength_ * excess / (1 << KORVID_CURVE_REFERENCE_SHIFT);
    return {Scale(dx, gain, remainderX_), Scale(dy, gain, remainderY_)};
  }

 private:
  static std::int32_t Scale(std::int32_t delta, double gain, double& remainder) {
    if (delta == 0) return 0;
    if ((delta > 0) != (remainder > 0)) remainder = 0;
    const double exact = delta * gain + remainder;
    const double whole = std::trunc(exact);
    remainder = exact - whole;
    return static_cast<std::int32_t>(whole);
  }

  double strength_;
  bool haveLast_ = false;
  std::int64_t lastUs_ = 0;
  double remainderX_ = 0;
  double remainderY_ = 0;
};

template <typename Curve>
void RunReports(benchmark::State& state, Curve& curve) {
  const auto reports = Reports();
  std::int64_t time = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    const Report& r = reports[i++ & 4095];
    time += 1000;  // a 1000 Hz mouse
    benchmark::DoNotOptimize(curve.Apply(r.dx, r.dy, time));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CurvePerMotionReport(benchmark::State& state) {
  korvid::MotionAccelerator accelerator;
  accelerator.SetParameter(static_cast<std::int32_t>(state.range(0)));
  RunReports(state, accelerator);
}
BENCHMARK(BM_CurvePerMotionReport)->Arg(0)->Arg(45056)->Arg(131072);

void BM_FloatingPointCurvePerMotionReport(benchmark::State& state) {
  FloatingPointCurve curve(static_cast<std::int32_t>(state.range(0)));
  RunReports(state, curve);
}
BENCHMARK(BM_FloatingPointCurvePerMotionReport)->Arg(0)->Arg(45056)->Arg(131072);

}  // namespace

BENCHMARK_MAIN();
