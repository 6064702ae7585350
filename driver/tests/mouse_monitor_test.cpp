// SPDX-License-Identifier: MIT
// Finding Tessel pointers in a simulated sysfs/udev tree (runs under umockdev-wrapper).
#include <gtest/gtest.h>
#include <umockdev.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "driver/daemon/MouseMonitor.h"
#include "platform/Identity.h"

namespace korvid {
namespace {

class MouseMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr) {
      GTEST_SKIP() << "needs umockdev-wrapper";
    }
    testbed_ = umockdev_testbed_new();
    ASSERT_GE(sd_event_new(&loop_), 0);
  }
  void TearDown() override {
    if (loop_ != nullptr) sd_event_unref(loop_);
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }

  // A USB device with one interface whose input device has one evdev node; with
  // `hidDriver`, a HID device bound to that driver sits between interface and input.
  std::string AddPointer(const std::string& usbName, const char* vendor, const char* product, const char* event,
                         bool mouse, const char* hidDriver = nullptr) {
    gchar* usb = umockdev_testbed_add_device(testbed_, "usb", usbName.c_str(), nullptr, "idVendor", vendor,
                                             "idProduct", product, "bcdDevice", "0105", "devnum", "7", nullptr,
                                             "DEVTYPE", "usb_device", nullptr);
    const std::string interfaceName = usbName + ":1.2";
    gchar* interface = umockdev_testbed_add_device(testbed_, "usb", interfaceName.c_str(), usb, "bInterfaceNumber",
                                                   "02", nullptr, "DEVTYPE", "usb_interface", nullptr);
    gchar* parent = interface;
    if (hidDriver != nullptr) {
      const std::string hidName = std::string("0003:3A7C:0D51.") + event;
      parent = umockdev_testbed_add_device(testbed_, "hid", hidName.c_str(), interface, nullptr, nullptr);
      const std::string link = std::string(umockdev_testbed_get_root_dir(testbed_)) + parent + "/driver";
      EXPECT_EQ(::symlink((std::string("../../../../bus/hid/drivers/") + hidDriver).c_str(), link.c_str()), 0);
    }
    const std::string inputName = std::string("input") + event;
    gchar* input = umockdev_testbed_add_device(testbed_, "input", inputName.c_str(), parent, "name", "Tessel",
                                               nullptr, nullptr);
    const std::string devname = std::string("/dev/input/") + event;
    gchar* node = umockdev_testbed_add_device(testbed_, "input", event, input, nullptr, "DEVNAME", devname.c_str(),
                                              mouse ? "ID_INPUT_MOUSE" : "ID_INPUT_KEYBOARD", "1", nullptr);
    std::string syspath = node;
    if (parent != interface) g_free(parent);
    for (gchar* p : {usb, interface, input, node}) g_free(p);
    return syspath;
  }

  void RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) sd_event_run(loop_, 100'000);
  }

  UMockdevTestbed* testbed_ = nullptr;
  sd_event* loop_ = nullptr;
  std::vector<PointerNode> added_;
  std::vector<std::string> removed_;
};

TEST_F(MouseMonitorTest, FindsTesselPointersOnlyAndReadsTheirIdentity) {
  AddPointer("1-2", "3a7c", "0d51", "event5", true);
  AddPointer("1-3", "046d", "c077", "event6", true);   // another maker's mouse
  AddPointer("1-4", "3a7c", "0d51", "event7", false);  // the Tessel's keyboard interface
  // A pointer without a USB parent, like the clone the daemon makes.
  gchar* virtualInput = umockdev_testbed_add_device(testbed_, "input", "input9", nullptr, "name",
                                                    "Tessel (korvid-tessel-driver)", nullptr, nullptr);
  gchar* virtualNode = umockdev_testbed_add_device(testbed_, "input", "event9", virtualInput, nullptr, "DEVNAME",
                                                   "/dev/input/event9", "ID_INPUT_MOUSE", "1", nullptr);
  g_free(virtualInput);
  g_free(virtualNode);

  MouseMonitor monitor(
      loop_, [&](const PointerNode& node) { added_.push_back(node); },
      [&](const std::string& name) { removed_.push_back(name); });
  ASSERT_EQ(monitor.Start(), kIOReturnSuccess);
  ASSERT_EQ(added_.size(), 1u);
  EXPECT_EQ(added_[0].name, "event5");
  EXPECT_EQ(added_[0].devnode, "/dev/input/event5");
  EXPECT_EQ(added_[0].identity.vendorID, kTesselVendorID);
  EXPECT_EQ(added_[0].identity.productID, kTesselProductID);
  EXPECT_EQ(added_[0].identity.release, 0x0105);
  EXPECT_EQ(added_[0].identity.address, 7);
  EXPECT_EQ(added_[0].interfaceNumber, 2);
  EXPECT_EQ(added_[0].kernelAcceleration, "");
}

TEST_F(MouseMonitorTest, AMouseDrivenByTheKernelModuleComesWithItsAttribute) {
  const std::string module = AddPointer("3-1", "3a7c", "0d51", "event12", true, "hid-korvid-tessel");
  AddPointer("3-2", "3a7c", "0d51", "event13", true, "hid-generic");
  MouseMonitor monitor(
      loop_, [&](const PointerNode& node) { added_.push_back(node); },
      [&](const std::string& name) { removed_.push_back(name); });
  ASSERT_EQ(monitor.Start(), kIOReturnSuccess);
  ASSERT_EQ(added_.size(), 2u);
  std::sort(added_.begin(), added_.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  // The attribute of the HID device, two levels above the evdev node.
  EXPECT_EQ(added_[0].kernelAcceleration,
            (std::filesystem::path(module).parent_path().parent_path() / "korvid_acceleration").string());
  EXPECT_EQ(added_[1].kernelAcceleration, "");
}

TEST_F(MouseMonitorTest, FollowsTesselsAsTheyComeAndGo) {
  MouseMonitor monitor(
      loop_, [&](const PointerNode& node) { added_.push_back(node); },
      [&](const std::string& name) { removed_.push_back(name); });
  ASSERT_EQ(monitor.Start(), kIOReturnSuccess);
  EXPECT_TRUE(added_.empty());
  const std::string syspath = AddPointer("2-1", "3a7c", "0d51", "event11", true);  // announces itself
  RunUntil([&] { return !added_.empty(); });
  ASSERT_EQ(added_.size(), 1u);
  EXPECT_EQ(added_[0].name, "event11");
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  RunUntil([&] { return !removed_.empty(); });
  EXPECT_EQ(removed_, (std::vector<std::string>{"event11"}));
}

}  // namespace
}  // namespace korvid
