// SPDX-License-Identifier: MIT
// Finds Tessel pointer devices with libudev — the evdev nodes of pointer devices whose USB
// parent is a Tessel — at start and as they come and go, on the daemon's loop.
#pragma once

#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <string>

#include "driver/IOKitStandIns.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace korvid {

struct PointerNode {
  std::string name;     // the evdev node's kernel name, e.g. "event7"
  std::string devnode;  // e.g. "/dev/input/event7"
  IOUSBDevice::Identity identity;
  std::uint8_t interfaceNumber = 0;
  // The acceleration attribute of the kernel module hid-korvid-tessel when it drives the
  // mouse (the curve is then applied in the kernel); empty otherwise.
  std::string kernelAcceleration;
};

class MouseMonitor {
 public:
  using Added = std::function<void(const PointerNode&)>;
  using Removed = std::function<void(const std::string& name)>;

  MouseMonitor(sd_event* loop, Added added, Removed removed);
  ~MouseMonitor();
  MouseMonitor(const MouseMonitor&) = delete;
  MouseMonitor& operator=(const MouseMonitor&) = delete;

  // Starts watching, then reports every Tessel pointer already attached. When udev
  // cannot be watched: its status, with a one-line reason in `message` when asked for.
  IOReturn Start(std::string* message = nullptr);

  // Whether a udev device is a Tessel pointer node; fills `node` when it is.
  static bool Describe(udev_device* device, PointerNode& node);

 private:
  static int OnEvent(sd_event_source* source, int fd, std::uint32_t revents, void* userdata);

  sd_event* loop_;
  Added added_;
  Removed removed_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  sd_event_source* source_ = nullptr;
};

}  // namespace korvid
