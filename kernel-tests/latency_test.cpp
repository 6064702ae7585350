// SPDX-License-Identifier: MIT
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
// here). The kernel module is measured on a uhid mouse that declares the Tessel's ids on
// bus USB, so it binds it as it binds the real mouse: the time from writing a report until
// it is read from the mouse's own evdev node with the module (acceleration 1.0), minus the
// same with hid-generic; and the CPU time the writer spends per 1000 reports in each case,
// whose difference is the module's hook. The figures are printed, never asserted: they
// depend on the machine running qemu.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/TesselPointing.h"
#include "driver/daemon/DriverDaemon.h"
#include "kernel-tests/KernelTestSupport.h"
#include "kernel-tests/TesselGadget.h"
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

// The evdev node of a HID device named `name` (hid-input may add the collection's kind).
std::string HidEventNode(const std::string& name) {
  for (const auto& entry : fs::directory_iterator("/sys/class/input")) {
    const std::string node = entry.path().filename();
    if (node.rfind("event", 0) == 0 && ReadText(entry.path() / "device" / "name").rfind(name, 0) == 0) {
      return "/dev/input/" + node;
    }
  }
  return {};
}

// A mouse the test moves by one report of `dx` at a time.
struct Mouse {
  virtual ~Mouse() = default;
  virtual bool Move(std::int32_t dx) const = 0;
};

// The stand-in mouse: relative motion, wheel and three buttons, with the Tessel's ids.
struct UinputMouse final : Mouse {
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
  ~UinputMouse() override {
    if (uinput != nullptr) libevdev_uinput_destroy(uinput);
  }
  bool Move(std::int32_t dx) const override {
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

// The Tessel as a HID device of the kernel's own (uhid, bus USB, the Tessel's ids and
// report descriptor): hid-generic binds it, or our module when it is loaded, exactly as
// they bind the real mouse. Each report enters the HID stack in the writer's system call.
struct UhidMouse final : Mouse {
  UhidMouse() {
    fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    uhid_event create{};
    create.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name, "%s", kUhidName);
    const auto descriptor = TesselGadget::ReportDescriptor();
    std::copy(descriptor.begin(), descriptor.end(), create.u.create2.rd_data);
    create.u.create2.rd_size = static_cast<std::uint16_t>(descriptor.size());
    create.u.create2.bus = BUS_USB;
    create.u.create2.vendor = kTesselVendorID;
    create.u.create2.product = kTesselProductID;
    if (fd >= 0 && ::write(fd, &create, sizeof create) == sizeof create) Rebound();
  }
  ~UhidMouse() override {
    uhid_event destroy{};
    destroy.type = UHID_DESTROY;
    if (fd >= 0 && ::write(fd, &destroy, sizeof destroy) == sizeof destroy) {}
    if (fd >= 0) ::close(fd);
  }
  // Finds the mouse's evdev node again (after a driver took it over).
  void Rebound() {
    WaitForUevents("input", [this] { return !HidEventNode(kUhidName).empty(); });
    node = HidEventNode(kUhidName);
  }
  bool Move(std::int32_t dx) const override {
    uhid_event input{};
    input.type = UHID_INPUT2;
    const auto x = static_cast<std::uint16_t>(dx);
    const std::uint8_t report[6] = {0, static_cast<std::uint8_t>(x & 0xFF), static_cast<std::uint8_t>(x >> 8), 0, 0, 0};
    std::copy(std::begin(report), std::end(report), input.u.input2.data);
    input.u.input2.size = sizeof report;
    const std::size_t size = offsetof(uhid_event, u.input2.data) + sizeof report;
    return ::write(fd, &input, size) == static_cast<ssize_t>(size);
  }
  static constexpr const char* kUhidName = "Korvid Tessel (uhid)";
  int fd = -1;
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
      std::unique_ptr<InputDevice> device;
      if (OpenGrabbedPointer(node, device, &error) != kIOReturnSuccess) ::_exit(1);
      if (daemon.Start(&error) != kIOReturnSuccess) ::_exit(1);
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
// from `node` (the mouse itself or a clone). Accelerated, a report moves at least as far,
// the same way; otherwise exactly as far.
void Measure(const Mouse& mouse, const std::string& node, int count, Samples& run, bool accelerated = false) {
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
    const bool unaltered = accelerated ? (moved > 0) == (dx > 0) && std::abs(moved) >= std::abs(dx) : moved == dx;
    if (reports != 1 || !unaltered) ++run.wrong;
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

// CPU time (ns) the writer spends putting `count` reports through the HID stack.
std::int64_t HidCpuNs(const UhidMouse& mouse, int count) {
  timespec start{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  for (int i = 0; i < count; ++i) mouse.Move((i % 2 == 0 ? 1 : -1) * (1 + i % 97));
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return (std::int64_t(end.tv_sec) - start.tv_sec) * 1000000000 + (end.tv_nsec - start.tv_nsec);
}

// Loads our module or unloads it, and waits until the uhid mouse is bound to `driver`.
bool Bind(UhidMouse& mouse, bool module, const char* driver) {
  std::string error;
  if (!(module ? LoadTesselModule(&error) : UnloadTesselModule(&error))) return false;
  const bool bound = WaitForUevents("input", [driver] {
    const auto bindings = TesselHidBindings();
    return bindings.size() == 1 && bindings.front().driver == driver;
  });
  mouse.Rebound();
  return bound && !mouse.node.empty();
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
  constexpr int kCpuEvents = 20000;  // per round and way
  UinputMouse mouse;
  ASSERT_FALSE(mouse.node.empty()) << "no uinput mouse";
  UhidMouse hid;
  ASSERT_FALSE(hid.node.empty()) << "no uhid mouse";

  // Rounds take turns, so a slow spell of the machine running qemu falls on every way.
  Samples direct, driver, pipeline, switches, hidGeneric, hidModule;
  // CPU per round; the least of the rounds is the one least disturbed by the machine running qemu.
  std::int64_t cpuGenericNs = INT64_MAX, cpuModuleNs = INT64_MAX;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(Bind(hid, false, "hid-generic"));
    Measure(hid, hid.node, kEvents, hidGeneric);
    cpuGenericNs = std::min(cpuGenericNs, HidCpuNs(hid, kCpuEvents));
    ASSERT_TRUE(Bind(hid, true, "hid-korvid-tessel")) << "the module did not take the uhid mouse";
    const auto bindings = TesselHidBindings();
    std::ofstream(bindings.front().device + "/korvid_acceleration") << 0x10000 << std::flush;
    Measure(hid, hid.node, kEvents, hidModule, true);
    cpuModuleNs = std::min(cpuModuleNs, HidCpuNs(hid, kCpuEvents));
    ASSERT_TRUE(Bind(hid, false, "hid-generic"));
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
  EXPECT_EQ(hidGeneric.wrong, 0);
  EXPECT_EQ(hidModule.latenciesNs.size(), static_cast<std::size_t>(kRounds * kEvents)) << "events lost";
  EXPECT_EQ(hidModule.wrong, 0) << "events lost, repeated, reordered or not accelerated";
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
  // The module, against hid-generic on the same uhid mouse.
  const double h0 = PercentileUs(hidGeneric.latenciesNs, 0.5), hp0 = PercentileUs(hidGeneric.latenciesNs, 0.99);
  std::printf("kernel-tests: latency added per event by the kernel module hid-korvid-tessel (acceleration 1.0), "
              "%d events: %.1f us median, %.1f us p99 (the uhid mouse read through hid-generic: %.1f us median, "
              "%.1f us p99); CPU per 1000 events through the HID stack (least of %d rounds): %.1f us with the "
              "module, %.1f us with hid-generic, %.1f us for the module's hook\n",
              kRounds * kEvents, PercentileUs(hidModule.latenciesNs, 0.5) - h0,
              PercentileUs(hidModule.latenciesNs, 0.99) - hp0, h0, hp0, kRounds,
              static_cast<double>(cpuModuleNs) / kCpuEvents, static_cast<double>(cpuGenericNs) / kCpuEvents,
              static_cast<double>(cpuModuleNs - cpuGenericNs) / kCpuEvents);
}

}  // namespace
}  // namespace korvid::kerneltest
