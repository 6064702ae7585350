// SPDX-License-Identifier: MIT
// korvid-tessel-driver: the Tessel driver daemon. One driver per attached Tessel pointer,
// each published as a socket in the runtime folder; see driver/client/DriverProtocol.h.
//
//   korvid-tessel-driver [--runtime-dir DIR] [--simulate N] [--allow-uid UID]...
//                        [--frame-timeout-ms MS] [--max-connections N]
//
// --simulate N starts N simulated mice instead of watching udev. Their pointing services
// only record what they are given, one line per call, in DIR/sim<i>.record; SIGUSR1
// unplugs the simulated mouse attached last and SIGUSR2 plugs in a new one.
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <string_view>

#include "driver/TesselPointing.h"
#include "driver/daemon/DriverDaemon.h"
#include "driver/daemon/MouseMonitor.h"
#include "platform/Identity.h"
#include "platform/input/InputDevice.h"

namespace korvid {
namespace {

// Pointing service of a simulated mouse: appends each parameter it is given to a file.
class RecordingFilePointing final : public IOHIPointing {
 public:
  explicit RecordingFilePointing(std::string path) : path_(std::move(path)) { std::ofstream(path_, std::ios::trunc); }
  IOReturn SetAcceleration(std::int32_t parameter) override {
    std::ofstream out(path_, std::ios::app);
    out << kHIDMouseAccelerationKey << ' ' << parameter << '\n';
    out.flush();
    return out ? kIOReturnSuccess : kIOReturnIOError;
  }

 private:
  std::string path_;
};

struct Options {
  DaemonOptions daemon;
  int simulate = -1;
  std::set<unsigned> allowUids;
};

bool ParseNumber(std::string_view text, unsigned long long& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: korvid-tessel-driver [--runtime-dir DIR] [--simulate N] [--allow-uid UID]...\n"
               "                            [--frame-timeout-ms MS] [--max-connections N]\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    std::string_view value = argv[++i];
    unsigned long long number = 0;
    if (arg == "--runtime-dir") {
      options.daemon.runtimeDir = std::string(value);
    } else if (arg == "--simulate" && ParseNumber(value, number) && number <= 64) {
      options.simulate = static_cast<int>(number);
    } else if (arg == "--allow-uid" && ParseNumber(value, number) && number < 0xFFFFFFFFull) {
      options.allowUids.insert(static_cast<unsigned>(number));
    } else if (arg == "--frame-timeout-ms" && ParseNumber(value, number) && number > 0 && number <= 600000) {
      options.daemon.frameTimeoutUs = number * 1000;
    } else if (arg == "--max-connections" && ParseNumber(value, number) && number > 0 && number <= 65536) {
      options.daemon.maxConnections = number;
    } else {
      return false;
    }
  }
  return true;
}

struct Simulation {
  DriverDaemon* daemon = nullptr;
  std::string runtimeDir;
  int next = 1;
  std::vector<std::string> attached;

  void Plug() {
    const int index = next++;
    MouseSpec spec;
    spec.name = "sim" + std::to_string(index);
    spec.identity = {kTesselVendorID, kTesselProductID, 0x0100, static_cast<std::uint16_t>(index)};
    spec.pointing = std::make_unique<RecordingFilePointing>(runtimeDir + "/" + spec.name + ".record");
    std::string error;
    if (daemon->AddMouse(std::move(spec), &error) == kIOReturnSuccess) {
      attached.push_back("sim" + std::to_string(index));
    } else {
      std::fprintf(stderr, "korvid-tessel-driver: %s\n", error.c_str());
    }
  }
  void Unplug() {
    if (attached.empty()) return;
    daemon->RemoveMouse(attached.back());
    attached.pop_back();
  }
};

int OnSignal(sd_event_source* source, const signalfd_siginfo* info, void* userdata) {
  auto* simulation = static_cast<Simulation*>(userdata);
  if (info->ssi_signo == SIGUSR1 && simulation != nullptr) {
    simulation->Unplug();
  } else if (info->ssi_signo == SIGUSR2 && simulation != nullptr) {
    simulation->Plug();
  } else if (info->ssi_signo == SIGTERM || info->ssi_signo == SIGINT) {
    sd_event_exit(sd_event_source_get_event(source), 0);
  }
  return 0;
}

int Run(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sd_event* loop = nullptr;
  if (sd_event_default(&loop) < 0) {
    std::fprintf(stderr, "korvid-tessel-driver: cannot make the event loop\n");
    return 1;
  }
  int status = 1;
  {
    SessionPeerPolicy policy(options.allowUids);
    DriverDaemon daemon(loop, options.daemon, policy);
    std::string error;
    Simulation simulation;
    simulation.daemon = &daemon;
    simulation.runtimeDir = options.daemon.runtimeDir;
    std::unique_ptr<MouseMonitor> monitor;
    Simulation* signalTarget = options.simulate >= 0 ? &simulation : nullptr;
    if (daemon.Start(&error) != kIOReturnSuccess) {
      std::fprintf(stderr, "korvid-tessel-driver: %s\n", error.c_str());
    } else {
      for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sd_event_add_signal(loop, nullptr, s, OnSignal, signalTarget);
      bool started = true;
      if (options.simulate >= 0) {
        for (int i = 0; i < options.simulate; ++i) simulation.Plug();
      } else {
        monitor = std::make_unique<MouseMonitor>(
            loop,
            [&daemon](const PointerNode& node) {
              if (daemon.Driver(node.name) != nullptr) return;  // seen twice: at start and as it arrived
              std::string reason;
              MouseSpec spec{node.name, node.identity, node.interfaceNumber, nullptr};
              if (!node.kernelAcceleration.empty()) {
                std::fprintf(stderr, "korvid-tessel-driver: %s is accelerated in the kernel by %s (%s)\n",
                             node.name.c_str(), kTesselKernelDriver, node.kernelAcceleration.c_str());
                spec.pointing = std::make_unique<KernelPointing>(node.kernelAcceleration);
              } else if (std::unique_ptr<InputDevice> device;
                         OpenGrabbedPointer(node.devnode, device, &reason) == kIOReturnSuccess) {
                std::fprintf(stderr, "korvid-tessel-driver: %s is accelerated by this daemon through a clone\n",
                             node.name.c_str());
                spec.pointing = std::make_unique<TesselPointing>(std::move(device));
              } else {
                std::fprintf(stderr, "korvid-tessel-driver: %s; %s has no acceleration\n", reason.c_str(),
                             node.name.c_str());
              }
              if (daemon.AddMouse(std::move(spec), &reason) != kIOReturnSuccess) {
                std::fprintf(stderr, "korvid-tessel-driver: %s\n", reason.c_str());
              }
            },
            [&daemon](const std::string& name) { daemon.RemoveMouse(name); });
        started = monitor->Start(&error) == kIOReturnSuccess;
        if (!started) std::fprintf(stderr, "korvid-tessel-driver: %s\n", error.c_str());
      }
      if (started) {
        sd_notify(0, "READY=1");
        status = sd_event_loop(loop) < 0 ? 1 : 0;
      }
      monitor.reset();
    }
  }
  sd_event_unref(loop);
  return status;
}

}  // namespace
}  // namespace korvid

int main(int argc, char** argv) { return korvid::Run(argc, argv); }
