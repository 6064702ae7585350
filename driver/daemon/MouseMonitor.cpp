// SPDX-License-Identifier: MIT
#include "driver/daemon/MouseMonitor.h"

#include <libudev.h>

#include <charconv>
#include <cstring>
#include <string_view>

#include "driver/TesselPointing.h"
#include "platform/DeviceStatus.h"
#include "platform/Identity.h"

namespace korvid {

namespace {

// Reads a hexadecimal sysfs attribute (idVendor, bcdDevice...); false when absent.
bool HexAttribute(udev_device* device, const char* name, unsigned& value) {
  const char* text = udev_device_get_sysattr_value(device, name);
  if (text == nullptr) return false;
  std::string_view view(text);
  while (!view.empty() && (view.back() == '\n' || view.back() == ' ')) view.remove_suffix(1);
  auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value, 16);
  return ec == std::errc() && end == view.data() + view.size();
}

bool DecimalAttribute(udev_device* device, const char* name, unsigned& value) {
  const char* text = udev_device_get_sysattr_value(device, name);
  if (text == nullptr) return false;
  std::string_view view(text);
  while (!view.empty() && (view.back() == '\n' || view.back() == ' ')) view.remove_suffix(1);
  auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value, 10);
  return ec == std::errc() && end == view.data() + view.size();
}

}  // namespace

MouseMonitor::MouseMonitor(sd_event* loop, Added added, Removed removed)
    : loop_(loop), added_(std::move(added)), removed_(std::move(removed)) {}

MouseMonitor::~MouseMonitor() {
  sd_event_source_disable_unref(source_);
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
}

bool MouseMonitor::Describe(udev_device* device, PointerNode& node) {
  const char* sysname = udev_device_get_sysname(device);
  const char* devnode = udev_device_get_devnode(device);
  if (sysname == nullptr || devnode == nullptr || std::strncmp(sysname, "event", 5) != 0) return false;
  const char* mouse = udev_device_get_property_value(device, "ID_INPUT_MOUSE");
  if (mouse == nullptr || std::strcmp(mouse, "1") != 0) return false;
  // The clone this daemon makes has no USB parent, so it is never taken for a mouse.
  udev_device* usbDevice = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
  udev_device* usbInterface = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
  if (usbDevice == nullptr || usbInterface == nullptr) return false;
  unsigned vendor = 0, product = 0, release = 0, address = 0, interfaceNumber = 0;
  if (!HexAttribute(usbDevice, "idVendor", vendor) || !HexAttribute(usbDevice, "idProduct", product)) return false;
  if (vendor != kTesselVendorID || product != kTesselProductID) return false;
  HexAttribute(usbDevice, "bcdDevice", release);
  DecimalAttribute(usbDevice, "devnum", address);
  HexAttribute(usbInterface, "bInterfaceNumber", interfaceNumber);
  node.name = sysname;
  node.devnode = devnode;
  node.identity = {static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product),
                   static_cast<std::uint16_t>(release), static_cast<std::uint16_t>(address)};
  node.interfaceNumber = static_cast<std::uint8_t>(interfaceNumber);
  node.kernelAcceleration.clear();
  if (udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr)) {
    const char* driver = udev_device_get_driver(hid);
    const char* syspath = udev_device_get_syspath(hid);
    if (driver != nullptr && syspath != nullptr && std::strcmp(driver, kTesselKernelDriver) == 0) {
      node.kernelAcceleration = std::string(syspath) + "/" + kTesselKernelAccelerationAttribute;
    }
  }
  return true;
}

IOReturn MouseMonitor::Start(std::string* message) {
  udev_ = udev_new();
  if (udev_ == nullptr) return Failure(kIOReturnNoResources, message, "cannot reach udev");
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr) return Failure(kIOReturnNoResources, message, "cannot watch udev for input devices");
  int rc = udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr);
  if (rc >= 0) rc = udev_monitor_enable_receiving(monitor_);
  if (rc < 0) return Failure(DeviceStatusFromErrno(-rc), message, "cannot watch udev for input devices");
  rc = sd_event_add_io(loop_, &source_, udev_monitor_get_fd(monitor_), EPOLLIN, &MouseMonitor::OnEvent, this);
  if (rc < 0) return Failure(DeviceStatusFromErrno(-rc), message, "cannot watch the udev monitor");

  udev_enumerate* enumerate = udev_enumerate_new(udev_);
  if (enumerate == nullptr) return kIOReturnSuccess;
  udev_enumerate_add_match_subsystem(enumerate, "input");
  udev_enumerate_add_match_property(enumerate, "ID_INPUT_MOUSE", "1");
  udev_enumerate_scan_devices(enumerate);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
    if (device == nullptr) continue;
    PointerNode node;
    if (Describe(device, node)) added_(node);
    udev_device_unref(device);
  }
  udev_enumerate_unref(enumerate);
  return kIOReturnSuccess;
}

int MouseMonitor::OnEvent(sd_event_source*, int, std::uint32_t, void* userdata) {
  auto* self = static_cast<MouseMonitor*>(userdata);
  while (udev_device* device = udev_monitor_receive_device(self->monitor_)) {
    const char* action = udev_device_get_action(device);
    const char* sysname = udev_device_get_sysname(device);
    if (action != nullptr && sysname != nullptr) {
      if (std::strcmp(action, "remove") == 0) {
        self->removed_(sysname);
      } else if (std::strcmp(action, "add") == 0) {
        PointerNode node;
        if (Describe(device, node)) self->added_(node);
      }
    }
    udev_device_unref(device);
  }
  return 0;
}

}  // namespace korvid
