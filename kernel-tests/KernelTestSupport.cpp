// SPDX-License-Identifier: MIT
#include "kernel-tests/KernelTestSupport.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "kernel-tests/TesselGadget.h"
#include "platform/input/InputDevice.h"

extern char** environ;

namespace korvid::kerneltest {

bool WaitForUevents(const char* subsystem, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), udev_unref);
  std::unique_ptr<udev_monitor, decltype(&udev_monitor_unref)> monitor(
      context ? udev_monitor_new_from_netlink(context.get(), "kernel") : nullptr, udev_monitor_unref);
  if (monitor) {
    udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), subsystem, nullptr);
    udev_monitor_enable_receiving(monitor.get());
  }
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !monitor) return false;
    pollfd fd{udev_monitor_get_fd(monitor.get()), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return done();
    while (udev_device* device = udev_monitor_receive_device(monitor.get())) udev_device_unref(device);
  }
  return true;
}

namespace {
std::string SiblingPath(const std::string& name) {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  return path.substr(0, path.rfind('/') + 1) + name;
}
}  // namespace

ProgramResult RunSiblingProgram(const std::string& name, const std::vector<std::string>& args) {
  ProgramResult result;
  const std::string path = SiblingPath(name);

  int out[2];
  if (::pipe(out) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> storage{path};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned == 0) {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(out[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<std::size_t>(got));
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(out[0]);
  return result;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string FindEventNode(bool clone) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/input", error)) {
    const std::string name = entry.path().filename();
    if (name.rfind("event", 0) != 0) continue;
    const std::string deviceName = ReadText(entry.path() / "device" / "name");
    const bool isClone =
        deviceName.size() > std::strlen(kCloneNameSuffix) && deviceName.ends_with(kCloneNameSuffix);
    if (clone != isClone) continue;
    if (ReadText(entry.path() / "device" / "id" / "vendor") != "3a7c") continue;
    if (ReadText(entry.path() / "device" / "id" / "product") != "0d51") continue;
    return "/dev/input/" + name;
  }
  return {};
}

int OpenEvdev(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    int clock = CLOCK_MONOTONIC;
    ::ioctl(fd, EVIOCSCLOCKID, &clock);
  }
  return fd;
}

bool ReadReport(int fd, Report& report) {
  report.events.clear();
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    input_event e{};
    if (::read(fd, &e, sizeof e) != sizeof e) return false;
    report.events.push_back(e);
    if (e.type == EV_SYN && e.code == SYN_REPORT) return true;
  }
}

std::int32_t Sum(const Report& report, std::uint16_t type, std::uint16_t code) {
  std::int32_t value = 0;
  for (const auto& e : report.events) {
    if (e.type == type && e.code == code) value += e.value;
  }
  return value;
}

bool LoadTesselModule(std::string* error) {
  const std::string path = SiblingPath("hid-korvid-tessel.ko");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  const long loaded = ::syscall(SYS_finit_module, fd, "", 0);
  const int code = errno;
  ::close(fd);
  if (loaded != 0 && code != EEXIST) {
    if (error) *error = std::string("cannot load the module: ") + std::strerror(code);
    return false;
  }
  return true;
}

bool UnloadTesselModule(std::string* error) {
  if (::syscall(SYS_delete_module, "hid_korvid_tessel", O_NONBLOCK) != 0 && errno != ENOENT) {
    if (error) *error = std::string("cannot unload the module: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<HidBinding> TesselHidBindings() {
  std::vector<HidBinding> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/hid/devices", ec)) {
    const std::string name = entry.path().filename();
    if (name.find(":3A7C:0D51.") == std::string::npos) continue;
    std::filesystem::path driver = std::filesystem::read_symlink(entry.path() / "driver", ec);
    found.push_back({entry.path().string(), ec ? std::string() : driver.filename().string()});
  }
  return found;
}

GadgetLatency MeasureGadgetLatency(TesselGadget& gadget, bool clone, int count) {
  GadgetLatency result;
  const std::string node = FindEventNode(clone);
  const int fd = node.empty() ? -1 : OpenEvdev(node);
  if (fd < 0) {
    result.error = "no evdev node to read";
    return result;
  }
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    if (!gadget.SendPointer(0, (i % 2) != 0 ? 1 : -1, 0, 0)) break;
    timespec sent{}, read{};
    ::clock_gettime(CLOCK_MONOTONIC, &sent);
    Report report;
    if (!ReadReport(fd, report)) break;
    ::clock_gettime(CLOCK_MONOTONIC, &read);
    samples.push_back(static_cast<double>(read.tv_sec - sent.tv_sec) * 1e6 +
                      static_cast<double>(read.tv_nsec - sent.tv_nsec) / 1e3);
  }
  ::close(fd);
  if (samples.empty() || static_cast<int>(samples.size()) != count) {
    result.error = "reports were lost";
    return result;
  }
  std::sort(samples.begin(), samples.end());
  result.medianUs = samples[samples.size() / 2];
  result.p99Us = samples[samples.size() * 99 / 100];
  return result;
}

}  // namespace korvid::kerneltest
