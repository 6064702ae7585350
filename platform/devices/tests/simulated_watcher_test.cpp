// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "platform/devices/SimulatedDeviceWatcher.h"

namespace korvid {
namespace {

class NullDevice final : public UsbDeviceInterface {
 public:
  IOReturn DeviceRequest(IOUSBDevRequest&) override { return kIOReturnNoDevice; }
  std::uint16_t GetDeviceVendor() const override { return 0; }
  std::uint16_t GetDeviceProduct() const override { return 0; }
  std::uint16_t GetDeviceReleaseNumber() const override { return 0; }
  std::uint32_t GetDeviceBusPowerAvailable() const override { return 0; }
  std::uint32_t GetLocationID() const override { return 0; }
};

struct Recorder {
  std::vector<std::string> events;
  void Watch(SimulatedDeviceWatcher& w) {
    w.WatchArrivals([this](std::vector<DeviceArrival> a) {
      for (auto& x : a) events.push_back("arrival " + std::to_string(x.service));
    });
    w.WatchRemovals([this](std::vector<DeviceService> r) {
      for (auto s : r) events.push_back("removal " + std::to_string(s));
    });
  }
  DeviceWatcher::InterestHandler Interest() {
    return [this](DeviceService s, std::uint32_t type, void*) {
      events.push_back((type == kIOMessageServiceIsTerminated ? "terminated " : "other ") + std::to_string(s));
    };
  }
};

TEST(SimulatedWatcher, AttachedMiceAreTheInitialWalkInPlugOrder) {
  SimulatedDeviceWatcher watcher;
  const auto a = watcher.Plug(std::make_shared<NullDevice>());
  const auto b = watcher.Plug(std::make_shared<NullDevice>());
  ASSERT_EQ(watcher.Start(), kIOReturnSuccess);
  const auto initial = watcher.WatchArrivals([](auto) {});
  ASSERT_EQ(initial.size(), 2u);
  EXPECT_EQ(initial[0].service, a);
  EXPECT_EQ(initial[1].service, b);
  EXPECT_EQ(watcher.PendingCount(), 0u);
}

TEST(SimulatedWatcher, EventsWaitForDeliveryAndKeepTheirOrder) {
  SimulatedDeviceWatcher watcher;
  Recorder recorder;
  ASSERT_EQ(watcher.Start(), kIOReturnSuccess);
  recorder.Watch(watcher);
  const auto a = watcher.Plug(std::make_shared<NullDevice>());
  EXPECT_TRUE(recorder.events.empty());
  watcher.DeliverPending();
  DeviceNotification notification = 0;
  ASSERT_EQ(watcher.AddInterest(a, recorder.Interest(), notification), kIOReturnSuccess);
  ASSERT_NE(notification, 0u);
  const auto b = watcher.Plug(std::make_shared<NullDevice>());
  watcher.Unplug(a);
  EXPECT_EQ(watcher.AddInterest(a, recorder.Interest(), notification), kIOReturnNoDevice);  // gone already
  EXPECT_EQ(notification, 0u);
  EXPECT_EQ(watcher.DeliverPending(), 2);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"arrival " + std::to_string(a), "arrival " + std::to_string(b),
                                      "terminated " + std::to_string(a), "removal " + std::to_string(a)}));
  EXPECT_EQ(watcher.InterestCount(), 0u);  // lapsed with the mouse
}

TEST(SimulatedWatcher, StopDropsQueuedEventsAndInterests) {
  SimulatedDeviceWatcher watcher;
  Recorder recorder;
  ASSERT_EQ(watcher.Start(), kIOReturnSuccess);
  recorder.Watch(watcher);
  const auto a = watcher.Plug(std::make_shared<NullDevice>());
  watcher.DeliverPending();
  DeviceNotification notification = 0;
  watcher.AddInterest(a, recorder.Interest(), notification);
  watcher.Unplug(a);
  watcher.Stop();
  EXPECT_EQ(watcher.DeliverPending(), 0);
  EXPECT_EQ(watcher.InterestCount(), 0u);
  EXPECT_EQ(recorder.events.size(), 1u);
}

TEST(SimulatedWatcher, UnavailableFacilityWatchesNothing) {
  SimulatedDeviceWatcher watcher;
  watcher.SetAvailable(false);
  watcher.Plug(std::make_shared<NullDevice>());
  EXPECT_EQ(watcher.Start(), kIOReturnUnsupported);
  EXPECT_TRUE(watcher.WatchArrivals([](auto) {}).empty());
}

TEST(SimulatedWatcher, EventLoopDeliveryHappensOnTheMainLoopNotInsidePlug) {
  int argc = 1;
  char name[] = "sim";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  SimulatedDeviceWatcher watcher(SimulatedDeviceWatcher::Delivery::kEventLoop);
  Recorder recorder;
  ASSERT_EQ(watcher.Start(), kIOReturnSuccess);
  recorder.Watch(watcher);
  watcher.Plug(std::make_shared<NullDevice>());
  watcher.Plug(std::make_shared<NullDevice>());
  EXPECT_TRUE(recorder.events.empty());
  QCoreApplication::processEvents();
  EXPECT_EQ(recorder.events.size(), 2u);
}

}  // namespace
}  // namespace korvid
