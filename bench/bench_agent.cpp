// SPDX-License-Identifier: MIT
// KorvidTesselHelper as a process with the driver daemon (four simulated mice) on a
// private bus:
//  - BM_ControlToFourDrivers: one control message KvSA with a reply, from the send until
//    all four drivers hold the value (the helper answers after the last driver has).
//    Goal: median under 2 ms.
//  - BM_Idle: the helper's wake-ups (context switches of all its threads) over a few
//    seconds in which nothing happens, and its resident memory. Goals: no wake-ups,
//    under 20 MiB.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pane/messages/ControlMessages.h"
#include "platform/Identity.h"
#include "platform/events/QtDBusEventPort.h"
#include "platform/events/testing/BusFixtures.h"
#include "platform/process/LinuxProcessTable.h"

namespace {

using namespace korvid;
using namespace std::chrono_literals;

constexpr int kMice = 4;

struct Setup {
  testing::PrivateBus bus;
  testing::TempFolder temp;
  testing::ChildProcess daemon;
  testing::ChildProcess helper;
  std::unique_ptr<QtDBusEventPort> port;
  std::string error;
  bool ready = false;

  Setup() {
    if (!bus.Running()) {
      error = "no private bus";
      return;
    }
    LinuxProcessTable processes;
    if (FindNamedProcess(processes, MakeStr255(kHelperProcessName), nullptr) == noErr) {
      error = "a KorvidTesselHelper is already running";
      return;
    }
    const std::string runtime = temp.Path() + "/run";
    const std::string notifyPath = temp.Path() + "/notify";
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, notifyPath.c_str());
    bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address);
    daemon.Start(KORVID_DRIVER_BINARY,
                 {"--runtime-dir", runtime, "--simulate", std::to_string(kMice), "--allow-uid", std::to_string(getuid())},
                 {"NOTIFY_SOCKET=" + notifyPath});
    pollfd p{notify, POLLIN, 0};
    char buffer[256] = {};
    const bool daemonReady = poll(&p, 1, testing::kGenerousWaitMs) > 0 && recv(notify, buffer, sizeof buffer - 1, 0) > 0;
    close(notify);
    if (!daemonReady) {
      error = "the driver daemon did not start";
      return;
    }
    helper.Start(KORVID_HELPER_BINARY, {"--runtime-dir", runtime},
                 {"DBUS_SESSION_BUS_ADDRESS=" + bus.Address(), "XDG_CONFIG_HOME=" + temp.Path() + "/config", "DISPLAY="});
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), QStringLiteral("bench"));
    const QString name = QtDBusEventPort::BusNameFor(static_cast<std::uint32_t>(helper.Pid()));
    for (int i = 0; i < 200 && !connection.interface()->isServiceRegistered(name); ++i) std::this_thread::sleep_for(50ms);
    if (!connection.interface()->isServiceRegistered(name)) {
      error = "the helper did not start";
      return;
    }
    port = std::make_unique<QtDBusEventPort>(connection);
    ready = true;
    std::this_thread::sleep_for(1s);  // past the pushes that follow the connections
  }
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

void BM_ControlToFourDrivers(benchmark::State& state) {
  Setup& setup = Shared();
  if (!setup.ready) {
    state.SkipWithError(setup.error.c_str());
    return;
  }
  std::vector<double> samples;
  std::int32_t value = 0;
  for (auto _ : state) {
    value = value == 65536 ? 131072 : 65536;
    AppleEvent event, reply;
    AECreateAppleEvent(kKvdO, kKvdC, AddressOf({0, static_cast<std::uint32_t>(setup.helper.Pid())}),
                       kAutoGenerateReturnID, kAnyTransactionID, event);
    AEPutParamValue(event, keyDirectObject, typeMagnitude, kKvSA);
    AEPutParamValue(event, kKvdC, typeSInt32, value);
    const auto start = std::chrono::steady_clock::now();
    std::int32_t result = -1;
    OSStatus status = setup.port->SendMessage(event, reply, kAEWaitReply, 60);
    if (status == noErr) status = AEGetParamValue(reply, keyDirectObject, typeSInt32, result);
    samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    if (status != noErr) {
      state.SkipWithError(("control message failed: " + std::to_string(status)).c_str());
      return;
    }
  }
  // Every mouse holds the last value.
  for (int mouse = 1; mouse <= kMice; ++mouse) {
    std::ifstream in(setup.temp.Path() + "/run/sim" + std::to_string(mouse) + ".record");
    std::string line, last;
    while (std::getline(in, line)) last = line;
    if (last != "HIDMouseAcceleration " + std::to_string(value)) {
      state.SkipWithError(("mouse " + std::to_string(mouse) + " missed the value").c_str());
      return;
    }
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}
BENCHMARK(BM_ControlToFourDrivers)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// Context switches of every thread of a process: each is a wake-up.
long long ContextSwitches(pid_t pid) {
  long long total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        total += std::stoll(line.substr(line.find(':') + 1));
      }
    }
  }
  closedir(dir);
  return total;
}

double ResidentMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return -1;
}

void BM_Idle(benchmark::State& state) {
  Setup& setup = Shared();
  if (!setup.ready) {
    state.SkipWithError(setup.error.c_str());
    return;
  }
  constexpr auto kQuiet = 5s;
  long long wakeups = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(1s);  // let the previous benchmark's traffic settle
    const long long before = ContextSwitches(setup.helper.Pid());
    std::this_thread::sleep_for(kQuiet);
    wakeups = ContextSwitches(setup.helper.Pid()) - before;
  }
  state.counters["wakeups_in_5s"] = static_cast<double>(wakeups);
  state.counters["rss_MiB"] = ResidentMiB(setup.helper.Pid());
}
BENCHMARK(BM_Idle)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  Shared().port.reset();
  benchmark::Shutdown();
  return 0;
}
