// SPDX-License-Identifier: MIT
// The pointing service's pass-through on a fake event stream: events per second, and the
// time each report spends in the service (read, accelerate, write), as percentiles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "driver/TesselPointing.h"
#include "driver/daemon/DriverDaemon.h"
#include "platform/input/testing/FakeInputDevice.h"

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

// The same through the daemon's loop: the report arrives on a descriptor, the loop wakes,
// dispatches the mouse's source, and the service reads, accelerates and writes it.
void BM_PassThroughThroughTheDaemonLoop(benchmark::State& state) {
  sd_event* loop = nullptr;
  sd_event_new(&loop);
  char pattern[] = "/tmp/korvid-bench-loop.XXXXXX";
  const std::string dir = mkdtemp(pattern);
  {
    korvid::ListPeerPolicy policy({});
    korvid::DaemonOptions options;
    options.runtimeDir = dir + "/run";
    korvid::DriverDaemon daemon(loop, options, policy);
    daemon.Start();
    auto fake = std::make_unique<korvid::FakeInputDevice>(true);
    korvid::FakeInputDevice* mouse = fake.get();
    auto pointing = std::make_unique<korvid::TesselPointing>(std::move(fake));
    pointing->setParamProperties({{"HIDMouseAcceleration", {0x00, 0xB0, 0x00, 0x00}}});
    daemon.AddMouse({"bench", {0x3A7C, 0x0D51, 1, 1}, 0, std::move(pointing)});
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    std::int64_t time = 0;
    std::size_t events = 0;
    for (auto _ : state) {
      time += 1000;
      const auto report = korvid::MotionReport(time, static_cast<std::int32_t>(time / 1000 % 23) - 11, 7);
      const auto start = std::chrono::steady_clock::now();
      mouse->Feed(report);
      while (mouse->Written().empty()) sd_event_run(loop, 0);
      const auto end = std::chrono::steady_clock::now();
      events += mouse->Written().size();
      mouse->ClearWritten();
      if (latencies.size() < latencies.capacity()) {
        latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
      }
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
      state.counters["p50_us_per_report"] = latencies[latencies.size() / 2];
      state.counters["p99_us_per_report"] = latencies[(latencies.size() - 1) * 99 / 100];
      state.counters["p999_us_per_report"] = latencies[(latencies.size() - 1) * 999 / 1000];
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
  }
  sd_event_unref(loop);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PassThroughThroughTheDaemonLoop)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
