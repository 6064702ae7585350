// SPDX-License-Identifier: MIT
// Cost of the feature-report transport and the settings operations against the simulated
// mouse: CPU per one-block command, wall time against the mandated pause, and the requests
// and sleep each settings operation needs.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <functional>

#include "protocol/Settings.h"
#include "protocol/Transport.h"
#include "sim/SimulatedTessel.h"

namespace {

using namespace korvid;

class NoSleeper final : public Sleeper {
 public:
  void SleepMicroseconds(std::uint32_t) override {}
};

// CPU cost of one one-block command with nothing sleeping (goal: below 2 µs).
void BM_OneBlockCommandCpu(benchmark::State& state) {
  SimulatedTessel mouse;
  mouse.SetTrafficLogEnabled(false);
  NoSleeper sleeper;
  std::array<std::uint8_t, 80> buffer{};
  for (auto _ : state) {
    const OSStatus status = KorvidCommand(&mouse, true, kSettingsBlockCommand, 0, buffer, sleeper);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(buffer.data());
  }
}
BENCHMARK(BM_OneBlockCommandCpu);

// Wall time of one one-block command with real sleeping, as a multiple of the 100 ms pause
// (goal: at most 1.02).
void BM_OneBlockCommandWall(benchmark::State& state) {
  SimulatedTessel mouse;
  mouse.SetTrafficLogEnabled(false);
  std::array<std::uint8_t, 80> buffer{};
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const OSStatus status = KorvidCommand(&mouse, true, kSettingsBlockCommand, 0, buffer, Sleeper::Real());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(status);
  }
  state.counters["per_pause"] =
      seconds / (static_cast<double>(state.iterations()) * kReplyPauseMicroseconds / 1e6);
}
BENCHMARK(BM_OneBlockCommandWall)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

// Requests and mandated sleep of one settings operation, from the mouse's traffic log.
void RunOperation(benchmark::State& state, const std::function<void(UsbDeviceInterface*, Sleeper&)>& operation) {
  SimulatedTessel mouse;
  VirtualSleeper sleeper;
  std::size_t requests = 0;
  for (auto _ : state) {
    mouse.ClearTraffic();
    sleeper.Reset();
    operation(&mouse, sleeper);
    requests = mouse.RequestCount();
  }
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["sleep_ms"] = static_cast<double>(sleeper.TotalMicroseconds()) / 1000.0;
  state.counters["violations"] = static_cast<double>(mouse.ViolationCount());
}

void BM_RestoreDefaults(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { KorvidTesselRestoreDefaults(d, z); });
}
void BM_SetPollingRate(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { KorvidTesselSetPollingRate(d, 8, z); });
}
void BM_GetPollingRate(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { benchmark::DoNotOptimize(KorvidTesselGetPollingRate(d, z)); });
}
void BM_SetDPI(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { KorvidTesselSetDPI(d, 0x2C2C, 0, z); });
}
void BM_GetDPI(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { benchmark::DoNotOptimize(KorvidTesselGetDPI(d, z)); });
}
void BM_SetLedState(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { KorvidTesselSetLedState(d, kWheelLightBit, 1, z); });
}
void BM_GetLedState(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { benchmark::DoNotOptimize(KorvidTesselGetLedState(d, 0, z)); });
}
void BM_GetFirmwareVers(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { benchmark::DoNotOptimize(KorvidTesselGetFirmwareVers(d, z)); });
}
void BM_RestoreDefaultSettingsSequence(benchmark::State& s) {
  RunOperation(s, [](UsbDeviceInterface* d, Sleeper& z) { KorvidTesselRestoreDefaultSettings(d, z); });
}
BENCHMARK(BM_RestoreDefaults);
BENCHMARK(BM_SetPollingRate);
BENCHMARK(BM_GetPollingRate);
BENCHMARK(BM_SetDPI);
BENCHMARK(BM_GetDPI);
BENCHMARK(BM_SetLedState);
BENCHMARK(BM_GetLedState);
BENCHMARK(BM_GetFirmwareVers);
BENCHMARK(BM_RestoreDefaultSettingsSequence);

}  // namespace

BENCHMARK_MAIN();
