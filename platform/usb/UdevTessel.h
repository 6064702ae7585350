// SPDX-License-Identifier: MIT
// libudev helpers shared by the enumeration of Tessel mice and the device watcher.
#pragma once

#include <libudev.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/usb/TesselDevices.h"

namespace korvid::udev {

struct UdevDeleter {
  void operator()(struct udev* u) const { udev_unref(u); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_queue* q) const { udev_queue_unref(q); }
};
using UdevPtr = std::unique_ptr<struct udev, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevDeleter>;
using QueuePtr = std::unique_ptr<udev_queue, UdevDeleter>;

// "100mA" (the USB device's bMaxPower attribute) in units of 2 mA; 0 when unreadable.
std::uint32_t BusPowerFromMaxPower(std::string_view maxPower);

// Bus number in bits 31..24, then one nibble per hop of the port path ("2.3" -> 0x23 in
// bits 23..16). Hops above 15 are clamped to 15; more than six hops are cut off.
std::uint32_t LocationFromBusAndPath(unsigned busNumber, std::string_view portPath);

// Looks at one hidraw device. When it is the node of interface 0 of a USB device with the
// Tessel's vendor and product identifiers, returns the node with its USB identity, read
// from the USB device's attributes. Anything else (another device, another interface, a
// device whose sysfs entry has already gone) gives nothing.
std::optional<TesselNode> TesselNodeFromHidraw(udev_device* hidraw);

}  // namespace korvid::udev
