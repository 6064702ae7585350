// SPDX-License-Identifier: MIT
// Finding Tessel mice among the hidraw nodes with libudev, and opening their device handle.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>
#include <string>

#include "platform/DeviceStatus.h"
#include "platform/Identity.h"
#include "platform/usb/HidrawDevice.h"
#include "platform/usb/TesselDevices.h"
#include "platform/usb/UdevTessel.h"

namespace korvid {
namespace udev {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Parses a whole attribute as an unsigned number in the given base.
std::optional<unsigned> ParseNumber(const char* value, int base) {
  if (value == nullptr) return std::nullopt;
  const std::string_view text = Trim(value);
  unsigned result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result, base);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return result;
}

std::optional<unsigned> Attribute(udev_device* device, const char* name, int base) {
  return ParseNumber(udev_device_get_sysattr_value(device, name), base);
}

}  // namespace

std::uint32_t BusPowerFromMaxPower(std::string_view maxPower) {
  const std::string_view text = Trim(maxPower);
  unsigned milliamps = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), milliamps);
  if (ec != std::errc() || Trim(std::string_view(end, text.data() + text.size() - end)) != "mA") {
    return 0;
  }
  return milliamps / 2;
}

std::uint32_t LocationFromBusAndPath(unsigned busNumber, std::string_view portPath) {
  std::uint32_t location = (busNumber & 0xFFu) << 24;
  int shift = 20;
  portPath = Trim(portPath);
  while (!portPath.empty() && shift >= 0) {
    const std::size_t dot = portPath.find('.');
    const std::string_view hop = portPath.substr(0, dot);
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(hop.data(), hop.data() + hop.size(), port);
    if (ec != std::errc() || end != hop.data() + hop.size()) break;
    location |= std::min(port, 15u) << shift;
    shift -= 4;
    if (dot == std::string_view::npos) break;
    portPath.remove_prefix(dot + 1);
  }
  return location;
}

std::optional<TesselNode> TesselNodeFromHidraw(udev_device* hidraw) {
  if (hidraw == nullptr) return std::nullopt;
  const char* subsystem = udev_device_get_subsystem(hidraw);
  if (subsystem == nullptr || std::strcmp(subsystem, "hidraw") != 0) return std::nullopt;
  // Parents belong to the child; they are found through libudev, never by cutting paths.
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
  udev_device* interface = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_interface");
  if (usb == nullptr || interface == nullptr) return std::nullopt;

  const auto vendor = Attribute(usb, "idVendor", 16);
  const auto product = Attribute(usb, "idProduct", 16);
  if (vendor != kTesselVendorID || product != kTesselProductID) return std::nullopt;
  // The feature reports go to interface 0; the mouse's other interfaces are not ours.
  if (Attribute(interface, "bInterfaceNumber", 16) != 0u) return std::nullopt;
  const char* devnode = udev_device_get_devnode(hidraw);
  if (devnode == nullptr) return std::nullopt;

  TesselNode node;
  node.devnode = devnode;
  node.syspath = udev_device_get_syspath(hidraw);
  node.vendorID = static_cast<std::uint16_t>(*vendor);
  node.productID = static_cast<std::uint16_t>(*product);
  node.releaseNum = static_cast<std::uint16_t>(Attribute(usb, "bcdDevice", 16).value_or(0));
  const char* maxPower = udev_device_get_sysattr_value(usb, "bMaxPower");
  node.busPower = maxPower != nullptr ? BusPowerFromMaxPower(maxPower) : 0;
  const char* portPath = udev_device_get_sysattr_value(usb, "devpath");
  node.locationID = LocationFromBusAndPath(Attribute(usb, "busnum", 10).value_or(0),
                                           portPath != nullptr ? portPath : "");
  return node;
}

}  // namespace udev

std::vector<TesselNode> EnumerateTessels() {
  std::vector<TesselNode> nodes;
  udev::UdevPtr context(udev_new());
  if (!context) return nodes;
  udev::EnumeratePtr enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return nodes;
  udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw");
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return nodes;

  std::set<std::string> seen;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    udev::DevicePtr device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    auto node = udev::TesselNodeFromHidraw(device.get());
    if (node && seen.insert(node->syspath).second) nodes.push_back(std::move(*node));
  }
  return nodes;
}

IOReturn OpenTessel(const TesselNode& node, std::unique_ptr<UsbDeviceInterface>& device, std::string* message) {
  device.reset();
  const int fd = ::open(node.devnode.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    const IOReturn status = DeviceFailure(errno, message, "cannot open " + node.devnode);
    if (status == kIOReturnNotPermitted && message != nullptr) {
      *message += " (install the udev rule 70-korvid-tessel.rules into /etc/udev/rules.d, then run"
                  " 'udevadm control --reload' and 'udevadm trigger', or re-plug the mouse)";
    }
    return status;
  }
  device = std::make_unique<HidrawDevice>(fd, node);
  return kIOReturnSuccess;
}

}  // namespace korvid
