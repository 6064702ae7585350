// The pointing service's pass-through on a fake event stream: events per second, and the
// time each report spends in the service (read, accelerate, write), as percentiles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "driver/TesselPointing.h"

namespace {

// A mouse that always has one more motion report waiting; the clone discards what it gets.
class EndlessMouse final : public korvid::InputDevice {
 public:
  int PollFd() const override { return -1; }
  korvid::IOReturn Read(std::vector<korvid::InputEvent>& events) override {
    time_ += 1000;
    const std::int32_t dx = static_cast<std::int32_t>((time_ / 1000) % 23) - 11;
    events.push_back({time_, korvid::kEvRel, korvid::kRelX, dx});
    events.push_back({time_, korvid::kEvRel, korvid::kRelY, 7});
    events.push_back({time_, korvid::kEvSyn, korvid::kSynReport, 0});
    return korvid::kIOReturnSuccess;
  }
  korvid::IOReturn Write(std::span<const korvid::InputEvent> events) override {
    written_ += events.size();
    return korvid::kIOReturnSuccess;
  }
  std::size_t written_ = 0;

 private:
  std::int64_t time_ = 0;
};

void BM_PassThroughPerReport(benchmark::State& state) {
  auto device = std::make_unique<EndlessMouse>();
  EndlessMouse* mouse = device.get();
  korvid::TesselPointing pointing(std::move(device));
  korvid::OSDictionary parameters{{"HIDMouseAcceleration", {0x00, 0xB0, 0x00, 0x00}}};  // 45056
  pointing.setParamProperties(parameters);
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    pointing.Pump();
    const auto end = std::chrono::steady_clock::now();
    if (latencies.size() < latencies.capacity()) {
      latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
  }
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(p * (latencies.size() - 1))];
  };
  state.counters["p50_us_per_report"] = percentile(0.50);
  state.counters["p99_us_per_report"] = percentile(0.99);
  state.counters["p999_us_per_report"] = percentile(0.999);
  state.counters["events_per_s"] =
      benchmark::Counter(static_cast<double>(mouse->written_), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(static_cast<std::int64_t>(mouse->written_));
}
BENCHMARK(BM_PassThroughPerReport);

}  // namespace

BENCHMARK_MAIN();
