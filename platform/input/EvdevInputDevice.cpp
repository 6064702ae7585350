// SPDX-License-Identifier: MIT
// The grabbed pointer through libevdev: EVIOCGRAB on the mouse's node and a uinput clone
// with the same capabilities and identifiers. Closing either descriptor (also when the
// process dies) releases the grab and removes the clone, so the mouse works on its own.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "platform/DeviceStatus.h"
#include "platform/input/InputDevice.h"

namespace korvid {

static_assert(kEvSyn == EV_SYN && kEvRel == EV_REL && kSynReport == SYN_REPORT && kSynDropped == SYN_DROPPED);
static_assert(kRelX == REL_X && kRelY == REL_Y);

namespace {

// Events handed out by one Read, so one busy mouse cannot starve the rest of the loop.
constexpr int kMaxEventsPerRead = 256;

InputEvent FromKernel(const input_event& ev) {
  return {static_cast<std::int64_t>(ev.input_event_sec) * 1000000 + static_cast<std::int64_t>(ev.input_event_usec),
          ev.type, ev.code, ev.value};
}

class EvdevInputDevice final : public InputDevice {
 public:
  ~EvdevInputDevice() override {
    if (clone_ != nullptr) libevdev_uinput_destroy(clone_);
    if (device_ != nullptr) {
      libevdev_grab(device_, LIBEVDEV_UNGRAB);
      libevdev_free(device_);
    }
    if (fd_ >= 0) close(fd_);
  }

  IOReturn Open(const std::string& devnode, std::string* message) {
    fd_ = open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return DeviceFailure(errno, message, "cannot open " + devnode);
    int rc = libevdev_new_from_fd(fd_, &device_);
    if (rc < 0) return DeviceFailure(-rc, message, "cannot read " + devnode);
    rc = libevdev_grab(device_, LIBEVDEV_GRAB);
    if (rc < 0) return DeviceFailure(-rc, message, "cannot grab " + devnode);
    std::string name = libevdev_get_name(device_) != nullptr ? libevdev_get_name(device_) : "";
    libevdev_set_name(device_, (name + kCloneNameSuffix).c_str());
    rc = libevdev_uinput_create_from_device(device_, LIBEVDEV_UINPUT_OPEN_MANAGED, &clone_);
    libevdev_set_name(device_, name.c_str());
    if (rc < 0) return DeviceFailure(-rc, message, "cannot create the pointer clone through uinput");
    return kIOReturnSuccess;
  }

  int PollFd() const override { return fd_; }

  IOReturn Read(std::vector<InputEvent>& events) override {
    unsigned flags = syncing_ ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL;
    for (int i = 0; i < kMaxEventsPerRead; ++i) {
      input_event ev{};
      int rc = libevdev_next_event(device_, flags, &ev);
      if (rc == LIBEVDEV_READ_STATUS_SYNC) {
        // Events were dropped: libevdev now hands out the state changes that were lost
        // (buttons released meanwhile...), which go through like any other event.
        if (!syncing_) {
          syncing_ = true;
          flags = LIBEVDEV_READ_FLAG_SYNC;
          continue;  // the SYN_DROPPED itself is not passed on
        }
        events.push_back(FromKernel(ev));
        continue;
      }
      if (rc == -EAGAIN) {
        if (syncing_) {
          syncing_ = false;
          flags = LIBEVDEV_READ_FLAG_NORMAL;
          continue;
        }
        return kIOReturnSuccess;
      }
      if (rc < 0) return DeviceStatusFromErrno(-rc);
      events.push_back(FromKernel(ev));
    }
    return kIOReturnSuccess;
  }

  IOReturn Write(std::span<const InputEvent> events) override {
    // One write for the whole batch: uinput takes any number of whole events at once
    // (and stamps them itself).
    const int fd = libevdev_uinput_get_fd(clone_);
    std::size_t done = 0;
    while (done < events.size()) {
      input_event batch[64];
      const std::size_t count = std::min(events.size() - done, std::size(batch));
      for (std::size_t i = 0; i < count; ++i) {
        batch[i] = input_event{};
        batch[i].type = events[done + i].type;
        batch[i].code = events[done + i].code;
        batch[i].value = events[done + i].value;
      }
      const ssize_t n = write(fd, batch, count * sizeof(input_event));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return DeviceStatusFromErrno(errno);
      if (static_cast<std::size_t>(n) % sizeof(input_event) != 0) return kIOReturnIOError;
      done += static_cast<std::size_t>(n) / sizeof(input_event);
    }
    return kIOReturnSuccess;
  }

 private:
  int fd_ = -1;
  libevdev* device_ = nullptr;
  libevdev_uinput* clone_ = nullptr;
  bool syncing_ = false;
};

}  // namespace

IOReturn OpenGrabbedPointer(const std::string& devnode, std::unique_ptr<InputDevice>& device, std::string* message) {
  device.reset();
  auto grabbed = std::make_unique<EvdevInputDevice>();
  const IOReturn status = grabbed->Open(devnode, message);
  if (status == kIOReturnSuccess) device = std::move(grabbed);
  return status;
}

}  // namespace korvid
