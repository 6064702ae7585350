// What the driver's pass-through adds to each pointer event on a real kernel: the time from
// writing a report to the mouse until it is read from the clone, minus the time until it is
// read from the mouse itself when nothing sits in between.
//
// A uinput mouse with the Tessel's ids stands for the mouse, so each report leaves at a
// known instant (the gadget mouse of kt_pointing is paced by dummy_hcd's timer, far coarser
// than what is measured here). The driver daemon's own loop runs in a child process: a
// DriverDaemon on sd-event with the mouse's evdev node grabbed and its uinput clone, which
// is everything korvid-tessel-driver does per event. Measured in the same run, for scale:
//   - a two-process grab -> pipe -> uinput pipeline, the plain way to build a pass-through;
//   - two process switches alone (a one-byte pipe round trip between two processes), which
//     any pass-through outside the kernel pays per event on one CPU: the reader sleeps, the
//     pass-through runs, the reader runs again.
// Every report must come out of the clone once, in order and unaltered (the curve is linear
// here). The figures are printed, never asserted: they depend on the machine running qemu.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/TesselPointing.h"
#include "driver/daemon/DriverDaemon.h"
#include "kernel-tests/KernelTestSupport.h"
#include "platform/Identity.h"
#include "platform/input/InputDevice.h"

namespace korvid::kerneltest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMouseName = "Korvid Tessel (uinput)";

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string EventNodeNamed(const std::string& name) {
  for (const auto& entry : fs::directory_iterator("/sys/class/input")) {
    const std::string node = entry.path().filename();
    if (node.rfind("event", 0) == 0 && ReadText(entry.path() / "device" / "name") == name) return "/dev/input/" + node;
  }
  return {};
}

std::string WaitForEventNode(const std::string& name) {
  WaitForUevents("input", [&] { return !EventNodeNamed(name).empty(); });
  return EventNodeNamed(name);
}

// The stand-in mouse: relative motion, wheel and three buttons, with the Tessel's ids.
struct UinputMouse {
  UinputMouse() {
    libevdev* device = libevdev_new();
    libevdev_set_name(device, kMouseName);
    libevdev_set_id_bustype(device, BUS_USB);
    libevdev_set_id_vendor(device, kTesselVendorID);
    libevdev_set_id_product(device, kTesselProductID);
    for (unsigned code : {REL_X, REL_Y, REL_WHEEL}) libevdev_enable_event_code(device, EV_REL, code, nullptr);
    for (unsigned code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) libevdev_enable_event_code(device, EV_KEY, code, nullptr);
    if (libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput) == 0) {
      node = WaitForEventNode(kMouseName);
    }
    libevdev_free(device);
  }
  ~UinputMouse() {
    if (uinput != nullptr) libevdev_uinput_destroy(uinput);
  }
  bool Move(std::int32_t dx) const {
    input_event report[2]{};
    report[0].type = EV_REL;
    report[0].code = REL_X;
    report[0].value = dx;
    report[1].type = EV_SYN;
    report[1].code = SYN_REPORT;
    return ::write(libevdev_uinput_get_fd(uinput), report, sizeof report) == sizeof report;
  }
  libevdev_uinput* uinput = nullptr;
  std::string node;
};

// A pass-through in child processes, killed (and its clone gone) when this ends.
class PassThrough {
 public:
  PassThrough() = default;
  PassThrough(const PassThrough&) = delete;
  PassThrough& operator=(const PassThrough&) = delete;
  ~PassThrough() {
    for (pid_t pid : pids_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (!clone_.empty()) WaitForUevents("input", [this] { return !fs::exists(clone_); });
  }

  // The driver daemon's loop with the mouse at `node` grabbed, its clone named after it.
  bool StartDriver(const std::string& node) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      sd_event* loop = nullptr;
      if (sd_event_new(&loop) < 0) ::_exit(1);
      ListPeerPolicy policy({0});
      DaemonOptions options;
      options.runtimeDir = "/run/korvid-latency";
      DriverDaemon daemon(loop, options, policy);
      std::string error;
      auto device = OpenGrabbedPointer(node, &error);
      if (daemon.Start(&error) != kIOReturnSuccess || device == nullptr) ::_exit(1);
      MouseSpec spec{"latency", {kTesselVendorID, kTesselProductID, 0x0105, 1}, 0,
                     std::make_unique<TesselPointing>(std::move(device))};
      if (daemon.AddMouse(std::move(spec), &error) != kIOReturnSuccess) ::_exit(1);
      sd_event_loop(loop);
      ::_exit(0);
    }
    return Started(pid);
  }

  // Two processes: one grabs the mouse and copies what it reads into a pipe, the other
  // copies the pipe into a uinput clone.
  bool StartPipeline(const std::string& node) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      int pipeFds[2];
      if (::pipe(pipeFds) != 0) ::_exit(1);
      const pid_t writer = ::fork();
      if (writer == 0) {
        ::close(pipeFds[1]);
        libevdev* device = nullptr;
        libevdev_uinput* clone = nullptr;
        const int fd = ::open(node.c_str(), O_RDONLY);
        if (libevdev_new_from_fd(fd, &device) < 0) ::_exit(1);
        libevdev_set_name(device, (std::string(kMouseName) + kCloneNameSuffix).c_str());
        if (libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &clone) < 0) ::_exit(1);
        Copy(pipeFds[0], libevdev_uinput_get_fd(clone));
      }
      ::close(pipeFds[0]);
      // The grab follows the clone, so no report is read before it has somewhere to go.
      const int fd = ::open(node.c_str(), O_RDONLY);
      WaitForEventNode(std::string(kMouseName) + kCloneNameSuffix);
      if (fd < 0 || ::ioctl(fd, EVIOCGRAB, 1) != 0 || ::write(ready[1], "g", 1) != 1) ::_exit(1);
      Copy(fd, pipeFds[1]);
    }
    ::close(ready[1]);
    char grabbed = 0;
    pollfd p{ready[0], POLLIN, 0};
    const bool started = Started(pid) && ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &grabbed, 1) == 1;
    ::close(ready[0]);
    return started;
  }

  const std::string& clone() const { return clone_; }

 private:
  [[noreturn]] static void Copy(int from, int to) {
    input_event events[64];
    for (;;) {
      const ssize_t n = ::read(from, events, sizeof events);
      if (n <= 0 || ::write(to, events, static_cast<std::size_t>(n)) != n) ::_exit(0);
    }
  }
  bool Started(pid_t pid) {
    if (pid < 0) return false;
    pids_.push_back(pid);
    // The driver grabs the mouse before it makes the clone.
    clone_ = WaitForEventNode(std::string(kMouseName) + kCloneNameSuffix);
    return !clone_.empty();
  }
  std::vector<pid_t> pids_;
  std::string clone_;
};

struct Samples {
  std::vector<std::int64_t> latenciesNs;
  int wrong = 0;  // reports lost, repeated, reordered or altered
};

// Moves the mouse `count` times, one report at a time, each time reading the report back
// from `node` (the mouse itself or a clone).
void Measure(const UinputMouse& mouse, const std::string& node, int count, Samples& run) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    run.wrong += count;
    return;
  }
  for (int i = 0; i < count; ++i) {
    const std::int32_t dx = (i % 2 == 0 ? 1 : -1) * (1 + i % 97);
    const std::int64_t start = NowNs();
    if (!mouse.Move(dx)) break;
    std::int32_t moved = 0;
    int reports = 0;
    while (reports == 0) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      input_event e{};
      while (::read(fd, &e, sizeof e) == sizeof e) {
        if (e.type == EV_REL && e.code == REL_X) moved += e.value;
        if (e.type == EV_SYN && e.code == SYN_REPORT) ++reports;
      }
    }
    run.latenciesNs.push_back(NowNs() - start);
    if (reports != 1 || moved != dx) ++run.wrong;
  }
  ::close(fd);
}

// Two process switches and four system calls: a one-byte pipe round trip.
void MeasureTwoSwitches(int count, Samples& run) {
  int there[2], back[2];
  if (::pipe(there) != 0 || ::pipe(back) != 0) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(there[1]);
    ::close(back[0]);
    char c;
    while (::read(there[0], &c, 1) == 1 && ::write(back[1], &c, 1) == 1) {}
    ::_exit(0);
  }
  for (int i = 0; i < count; ++i) {
    char c = 'x';
    const std::int64_t start = NowNs();
    if (::write(there[1], &c, 1) != 1 || ::read(back[0], &c, 1) != 1) break;
    run.latenciesNs.push_back(NowNs() - start);
  }
  for (int fd : {there[0], there[1], back[0], back[1]}) ::close(fd);
  ::waitpid(pid, nullptr, 0);  // it ends at the end of the pipe
}

double PercentileUs(std::vector<std::int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))]) /
         1000.0;
}

TEST(PassThroughOnRealKernel, LatencyTheDriverAddsPerEvent) {
  constexpr int kRounds = 3;
  constexpr int kEvents = 1000;  // per round and way
  UinputMouse mouse;
  ASSERT_FALSE(mouse.node.empty()) << "no uinput mouse";

  // Rounds take turns, so a slow spell of the machine running qemu falls on every way.
  Samples direct, driver, pipeline, switches;
  for (int round = 0; round < kRounds; ++round) {
    Measure(mouse, mouse.node, kEvents, direct);
    {
      PassThrough through;
      ASSERT_TRUE(through.StartDriver(mouse.node)) << "the driver's loop did not grab the mouse";
      Measure(mouse, through.clone(), kEvents, driver);
    }
    {
      PassThrough through;
      ASSERT_TRUE(through.StartPipeline(mouse.node)) << "the pipeline did not grab the mouse";
      Measure(mouse, through.clone(), kEvents, pipeline);
    }
    MeasureTwoSwitches(kEvents, switches);
  }
  EXPECT_EQ(direct.wrong, 0);
  EXPECT_EQ(driver.latenciesNs.size(), static_cast<std::size_t>(kRounds * kEvents)) << "events lost";
  EXPECT_EQ(driver.wrong, 0) << "events lost, repeated, reordered or altered";

  const double m0 = PercentileUs(direct.latenciesNs, 0.5), p0 = PercentileUs(direct.latenciesNs, 0.99);
  auto added = [&](const Samples& run) {
    char text[96];
    std::snprintf(text, sizeof text, "%.0f us median, %.0f us p99", PercentileUs(run.latenciesNs, 0.5) - m0,
                  PercentileUs(run.latenciesNs, 0.99) - p0);
    return std::string(text);
  };
  char text[96];
  std::snprintf(text, sizeof text, "%.0f us median, %.0f us p99", PercentileUs(switches.latenciesNs, 0.5),
                PercentileUs(switches.latenciesNs, 0.99));
  std::printf("kernel-tests: latency added per event, one virtual CPU, %d events each: the driver %s; "
              "a grab -> pipe -> uinput pipeline of two processes %s%s; two process switches alone %s "
              "(reading the mouse directly: %.0f us median, %.0f us p99)\n",
              kRounds * kEvents, added(driver).c_str(), added(pipeline).c_str(),
              pipeline.wrong != 0 ? " (with reports lost or altered)" : "", text, m0, p0);
}

}  // namespace
}  // namespace korvid::kerneltest
