// SPDX-License-Identifier: MIT
#include "platform/usb/tests/UmockdevBed.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace korvid::testing {

struct UmockdevBed::Node {
  std::string devnode;
  std::string file;  // the node's file under the testbed root
  UMockdevIoctlBase* handler = nullptr;
  std::mutex mutex;  // the handler runs on the testbed's worker thread
  FeatureAnswerer answerer;
};

namespace {

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
  auto* node = static_cast<UmockdevBed::Node*>(userData);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  const bool isSet = request == HIDIOCSFEATURE(91);
  if (!isSet && request != HIDIOCGFEATURE(91)) {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
  }
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* resolved = nullptr;
  if (arg->data_len < 91) {
    resolved = umockdev_ioctl_data_resolve(arg, 0, 91, nullptr);
    if (resolved == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    arg = resolved;
  }
  int error = ENODEV;
  {
    std::lock_guard lock(node->mutex);
    if (node->answerer) error = node->answerer(isSet, std::span<std::uint8_t, 91>(arg->data, 91));
  }
  if (error == 0) {
    umockdev_ioctl_client_complete(client, 91, 0);
  } else {
    umockdev_ioctl_client_complete(client, -1, error);
  }
  if (resolved != nullptr) g_object_unref(resolved);
  return TRUE;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

}  // namespace

UmockdevBed::UmockdevBed() {
  testbed_ = umockdev_testbed_new();
  if (!umockdev_in_mock_environment()) {
    throw std::runtime_error("the test must run under umockdev-wrapper");
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root;
  g_free(root);
}

UmockdevBed::~UmockdevBed() {
  for (auto& node : nodes_) {
    umockdev_testbed_detach_ioctl(testbed_, node->devnode.c_str(), nullptr);
    g_object_unref(node->handler);
  }
  g_object_unref(testbed_);
}

FakeMouse UmockdevBed::Add(const FakeMouseSpec& spec, FeatureAnswerer answerer) {
  FakeMouse mouse;
  const std::string bus = std::to_string(spec.busNumber);
  gchar* usb = umockdev_testbed_add_device(
      testbed_, "usb", spec.name.c_str(), nullptr,
      "idVendor", Hex4(spec.vendorID).c_str(), "idProduct", Hex4(spec.productID).c_str(),
      "bcdDevice", spec.bcdDevice.c_str(), "bMaxPower", spec.maxPower.c_str(),
      "busnum", bus.c_str(), "devpath", spec.portPath.c_str(), nullptr,
      "DEVTYPE", "usb_device", nullptr);
  mouse.usbSyspath = usb;
  for (int i = 0; i < spec.interfaces; ++i) {
    const std::string ifName = spec.name + ":1." + std::to_string(i);
    const std::string ifNumber = "0" + std::to_string(i);
    gchar* intf = umockdev_testbed_add_device(testbed_, "usb", ifName.c_str(), usb,
                                              "bInterfaceNumber", ifNumber.c_str(), nullptr,
                                              "DEVTYPE", "usb_interface", nullptr);
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", spec.vendorID, spec.productID,
                  static_cast<unsigned>(nextMinor_ + 1));
    gchar* hid = umockdev_testbed_add_device(testbed_, "hid", hidName, intf, nullptr, nullptr);
    const int minor = nextMinor_++;
    const std::string rawName = "hidraw" + std::to_string(minor);
    const std::string devnode = "/dev/" + rawName;
    const std::string dev = "243:" + std::to_string(minor);
    gchar* raw = umockdev_testbed_add_device(testbed_, "hidraw", rawName.c_str(), hid, "dev",
                                             dev.c_str(), nullptr, "DEVNAME", devnode.c_str(), nullptr);
    mouse.hidrawSyspaths.push_back(raw);
    mouse.devnodes.push_back(devnode);

    // The testbed attaches the handler but makes no node: the file is ours to create.
    auto node = std::make_unique<Node>();
    node->devnode = devnode;
    node->file = root_ + devnode;
    std::ofstream(node->file).flush();
    if (i == 0) node->answerer = answerer;
    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), node.get());
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), node->handler, nullptr)) {
      throw std::runtime_error("cannot attach ioctl handler to " + devnode);
    }
    nodes_.push_back(std::move(node));
    g_free(raw);
    g_free(hid);
    g_free(intf);
  }
  g_free(usb);
  return mouse;
}

void UmockdevBed::Remove(const FakeMouse& mouse) {
  for (const auto& syspath : mouse.hidrawSyspaths) Uevent(syspath, "remove");
  for (const auto& devnode : mouse.devnodes) {
    auto it = std::find_if(nodes_.begin(), nodes_.end(),
                           [&](const auto& n) { return n->devnode == devnode; });
    if (it == nodes_.end()) continue;
    {
      std::lock_guard lock((*it)->mutex);
      (*it)->answerer = nullptr;  // an open handle now sees a vanished device
    }
    std::remove((*it)->file.c_str());
  }
  umockdev_testbed_remove_device(testbed_, mouse.usbSyspath.c_str());
}

void UmockdevBed::Uevent(const std::string& syspath, const char* action) {
  umockdev_testbed_uevent(testbed_, syspath.c_str(), action);
}

void UmockdevBed::SetAnswerer(const FakeMouse& mouse, FeatureAnswerer answerer) {
  for (auto& node : nodes_) {
    if (!mouse.devnodes.empty() && node->devnode == mouse.devnodes.front()) {
      std::lock_guard lock(node->mutex);
      node->answerer = std::move(answerer);
    }
  }
}

void UmockdevBed::DenyAccess(const FakeMouse& mouse) {
  for (const auto& devnode : mouse.devnodes) ::chmod((root_ + devnode).c_str(), 0);
}

int EchoAnswerer::operator()(bool isSet, std::span<std::uint8_t, 91> report) {
  std::lock_guard lock(mutex);
  if (isSet) {
    ++sets;
    lastSet.assign(report.begin(), report.end());
    return 0;
  }
  ++gets;
  if (lastSet.empty()) {
    std::fill(report.begin(), report.end(), 0);
  } else {
    std::copy(lastSet.begin(), lastSet.end(), report.begin());
  }
  report[2] = 2;  // status byte of the report (after the report ID): done
  return 0;
}

}  // namespace korvid::testing
