// SPDX-License-Identifier: MIT
// One control message with a reply, sender to handler and back, over a private bus to a
// receiver process. Reports the median and 99th percentile of single round trips.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDBusConnection>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pane/messages/ControlMessages.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"

namespace {

using namespace korvid;

struct Setup {
  testing::PrivateBus bus;
  testing::ChildProcess receiver;
  std::unique_ptr<QtDBusEventPort> port;
  bool ready = false;

  Setup() {
    if (!bus.Running()) return;
    if (!receiver.Start(KORVID_EVENT_RECEIVER, {"reply", "quiet"}, {"DBUS_SESSION_BUS_ADDRESS=" + bus.Address()})) return;
    std::string line;
    if (!receiver.ReadLine(line) || line.rfind("ready", 0) != 0) return;
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), QStringLiteral("bench"));
    port = std::make_unique<QtDBusEventPort>(connection);
    ready = connection.isConnected();
  }
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

void Report(benchmark::State& state, std::vector<double>& microseconds) {
  if (microseconds.empty()) return;
  std::sort(microseconds.begin(), microseconds.end());
  state.counters["median_us"] = microseconds[microseconds.size() / 2];
  state.counters["p99_us"] = microseconds[std::min(microseconds.size() - 1, microseconds.size() * 99 / 100)];
}

// The control message the pane sends: set acceleration to 1.0, to the process `pid`.
AppleEvent ControlMessage(pid_t pid) {
  AppleEvent event;
  AECreateAppleEvent(kKvdO, kKvdC, AddressOf({0, static_cast<std::uint32_t>(pid)}), kAutoGenerateReturnID,
                     kAnyTransactionID, event);
  AEPutParamValue(event, keyDirectObject, typeMagnitude, kKvSA);
  AEPutParamValue(event, kKvdC, typeSInt32, std::int32_t{65536});
  return event;
}

void BM_ControlRoundTrip(benchmark::State& state) {
  Setup& setup = Shared();
  if (!setup.ready) {
    state.SkipWithError("no private bus or receiver");
    return;
  }
  const AppleEvent event = ControlMessage(setup.receiver.Pid());
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    AppleEvent reply;
    std::int32_t value = 0;
    const OSStatus sent = setup.port->SendMessage(event, reply, kAEWaitReply, 15);
    const OSStatus read = sent == noErr ? AEGetParamValue(reply, keyDirectObject, typeSInt32, value) : sent;
    if (read != noErr) {
      state.SkipWithError(("round trip " + std::to_string(samples.size()) + " failed: " + std::to_string(read)).c_str());
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  Report(state, samples);
}
BENCHMARK(BM_ControlRoundTrip)->Unit(benchmark::kMicrosecond)->Iterations(5000);

// The no-reply send the pane makes: how long the sender is held.
void BM_ControlNoReplySend(benchmark::State& state) {
  Setup& setup = Shared();
  if (!setup.ready) {
    state.SkipWithError("no private bus or receiver");
    return;
  }
  const AppleEvent event = ControlMessage(setup.receiver.Pid());
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    AppleEvent reply;
    if (setup.port->SendMessage(event, reply, kAENoReply, 15) != noErr) {
      state.SkipWithError("send failed");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  Report(state, samples);
}
BENCHMARK(BM_ControlNoReplySend)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  Shared().port.reset();
  benchmark::Shutdown();
  return 0;
}
