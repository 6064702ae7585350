// SPDX-License-Identifier: MIT
// Round trip of one scalar method call over a driver socket: the daemon's core runs its
// own loop in a second thread (as it runs in its own process), the client calls from here.
#include <benchmark/benchmark.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "driver/client/DriverClient.h"
#include "driver/daemon/DriverDaemon.h"
#include "platform/Identity.h"

namespace {

using namespace korvid;

class NullPointing final : public IOHIPointing {
 public:
  IOReturn SetAcceleration(std::int32_t) override { return kIOReturnSuccess; }
};

struct DaemonThread {
  std::string dir;
  int stopPipe[2] = {-1, -1};
  std::thread thread;
  std::string socketPath;

  DaemonThread() {
    char pattern[] = "/tmp/korvid-bench.XXXXXX";
    dir = mkdtemp(pattern);
    if (pipe(stopPipe) != 0) std::abort();
    std::promise<std::string> ready;
    auto published = ready.get_future();
    thread = std::thread([this, &ready] {
      sd_event* loop = nullptr;
      sd_event_new(&loop);
      ListPeerPolicy policy({static_cast<unsigned>(getuid())});
      DaemonOptions options;
      options.runtimeDir = dir + "/run";
      {
        DriverDaemon daemon(loop, options, policy);
        daemon.Start();
        daemon.AddMouse({"bench", {kTesselVendorID, kTesselProductID, 1, 1}, 0, std::make_unique<NullPointing>()});
        sd_event_add_io(
            loop, nullptr, stopPipe[0], EPOLLIN,
            [](sd_event_source* s, int, std::uint32_t, void*) { return sd_event_exit(sd_event_source_get_event(s), 0); },
            nullptr);
        ready.set_value(daemon.SocketPath("bench"));
        sd_event_loop(loop);
      }
      sd_event_unref(loop);
    });
    socketPath = published.get();
  }
  ~DaemonThread() {
    (void)!write(stopPipe[1], "x", 1);
    thread.join();
    close(stopPipe[0]);
    close(stopPipe[1]);
    std::filesystem::remove_all(dir);
  }
};

void BM_ScalarCallRoundTrip(benchmark::State& state) {
  DaemonThread daemon;
  std::unique_ptr<DriverConnection> connection;
  if (DriverConnection::Open(daemon.socketPath, kKvdU, connection) != kIOReturnSuccess) {
    state.SkipWithError("cannot open the driver");
    return;
  }
  const std::uint64_t inputs[3] = {1, static_cast<std::uint64_t>(state.range(0)), 0x10000};
  std::uint64_t outputs[1];
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(connection->CallScalarMethod(0, inputs, outputs));
    const auto end = std::chrono::steady_clock::now();
    if (latencies.size() < latencies.capacity()) {
      latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["p50_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[(latencies.size() - 1) * 99 / 100];
  }
  connection->Close();
}
BENCHMARK(BM_ScalarCallRoundTrip)->Arg(kKvID)->Arg(kKvSA)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
