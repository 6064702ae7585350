// SPDX-License-Identifier: MIT
// The libudev watcher against real libudev, in a umockdev testbed: fake mice are plugged
// and unplugged while the watcher runs on a Qt event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <set>
#include <sstream>

#include "platform/Identity.h"
#include "platform/devices/UdevDeviceWatcher.h"
#include "platform/usb/tests/UmockdevBed.h"

namespace korvid {
namespace {

using testing::EchoAnswerer;
using testing::FakeMouse;
using testing::FakeMouseSpec;
using testing::UmockdevBed;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[8] = "watcher";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QCoreApplication> app_;
};
const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

FakeMouseSpec Tessel(std::string name, int interfaces = 1) {
  FakeMouseSpec spec;
  const auto dash = name.find('-');
  spec.busNumber = static_cast<unsigned>(std::stoi(name.substr(0, dash)));
  spec.portPath = name.substr(dash + 1);
  spec.name = std::move(name);
  spec.vendorID = kTesselVendorID;
  spec.productID = kTesselProductID;
  spec.interfaces = interfaces;
  return spec;
}

FakeMouseSpec Decoy(std::string name) {
  FakeMouseSpec spec = Tessel(std::move(name), 2);
  spec.vendorID = 0x046D;
  spec.productID = 0xC077;
  return spec;
}

// Runs the main loop until `done` holds; udev events come through the monitor's socket.
template <typename Predicate>
bool RunUntil(Predicate done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  return true;
}

struct Log {
  std::vector<DeviceArrival> arrivals;
  std::vector<DeviceService> removals;
  std::vector<std::pair<DeviceService, std::uint32_t>> messages;
  std::vector<std::string> order;
};

class UdevWatcherTest : public ::testing::Test {
 protected:
  testing::FeatureAnswerer Echo() {
    return [this](bool isSet, std::span<std::uint8_t, 91> r) { return echo(isSet, r); };
  }
  std::vector<DeviceArrival> StartWatching(UdevDeviceWatcher& w) {
    EXPECT_EQ(w.Start(), kIOReturnSuccess);
    auto initial = w.WatchArrivals([this](std::vector<DeviceArrival> a) {
      for (auto& arrival : a) {
        log.order.push_back("arrival");
        log.arrivals.push_back(std::move(arrival));
      }
    });
    EXPECT_TRUE(w.WatchRemovals([this](std::vector<DeviceService> r) {
                   for (auto s : r) {
                     log.order.push_back("removal");
                     log.removals.push_back(s);
                   }
                 }).empty());
    return initial;
  }
  // The registration; 0 when it was refused.
  DeviceNotification Interest(UdevDeviceWatcher& w, DeviceService service) {
    DeviceNotification notification = 0;
    const IOReturn status = w.AddInterest(
        service,
        [this](DeviceService s, std::uint32_t type, void*) {
          log.order.push_back("message");
          log.messages.emplace_back(s, type);
        },
        notification);
    EXPECT_EQ(status == kIOReturnSuccess, notification != 0);
    return notification;
  }

  UmockdevBed bed;
  EchoAnswerer echo;
  std::ostringstream diagnostics;
  Log log;
};

TEST_F(UdevWatcherTest, MiceAttachedAtStartAreReportedOnceEachWithTheirIdentity) {
  bed.Add(Tessel("1-2.3", 3), Echo());
  bed.Add(Decoy("1-4"), Echo());
  bed.Add(Tessel("2-1"), Echo());
  UdevDeviceWatcher watcher(nullptr, &diagnostics);

  const auto initial = StartWatching(watcher);
  ASSERT_EQ(initial.size(), 2u);
  EXPECT_NE(initial[0].service, initial[1].service);
  std::set<std::uint32_t> locations;
  for (const auto& arrival : initial) {
    ASSERT_NE(arrival.device, nullptr);
    EXPECT_EQ(arrival.device->GetDeviceVendor(), kTesselVendorID);
    EXPECT_EQ(arrival.device->GetDeviceProduct(), kTesselProductID);
    EXPECT_EQ(arrival.device->GetDeviceReleaseNumber(), 0x0105);
    EXPECT_EQ(arrival.device->GetDeviceBusPowerAvailable(), 50u);
    locations.insert(arrival.device->GetLocationID());
  }
  EXPECT_EQ(locations, (std::set<std::uint32_t>{0x01230000u, 0x02100000u}));
  EXPECT_TRUE(diagnostics.str().empty());
}

TEST_F(UdevWatcherTest, HotPluggedMouseArrivesAndDecoysAreIgnored) {
  UdevDeviceWatcher watcher(nullptr, &diagnostics);
  EXPECT_TRUE(StartWatching(watcher).empty());

  bed.Add(Decoy("1-4"), Echo());
  FakeMouseSpec otherProduct = Tessel("1-5");
  otherProduct.productID = static_cast<std::uint16_t>(kTesselProductID + 1);
  bed.Add(otherProduct, Echo());
  bed.Add(Tessel("1-2.3", 2), Echo());  // interface 1 also has a node: not ours
  ASSERT_TRUE(RunUntil([&] { return !log.arrivals.empty(); }));
  bed.Add(Tessel("1-6"), Echo());  // sentinel: every earlier event has been read
  ASSERT_TRUE(RunUntil([&] { return log.arrivals.size() >= 2; }));

  ASSERT_EQ(log.arrivals.size(), 2u);
  EXPECT_EQ(log.arrivals[0].device->GetLocationID(), 0x01230000u);
  EXPECT_EQ(log.arrivals[1].device->GetLocationID(), 0x01600000u);

  // The arrived handle talks to its own mouse.
  std::array<std::uint8_t, 90> report{};
  report[0] = 1;
  IOUSBDevRequest set{0x21, 9, 0x0300, 0, 90, report, 0};
  EXPECT_EQ(log.arrivals[0].device->DeviceRequest(set), kIOReturnSuccess);
  std::lock_guard lock(echo.mutex);
  EXPECT_EQ(echo.sets, 1);
}

TEST_F(UdevWatcherTest, RemovalSendsTheTerminationMessageThenTheRemoval) {
  const FakeMouse first = bed.Add(Tessel("1-2.3"), Echo());
  const FakeMouse decoy = bed.Add(Decoy("1-4"), Echo());
  const FakeMouse second = bed.Add(Tessel("1-5"), Echo());
  UdevDeviceWatcher watcher(nullptr, &diagnostics);
  const auto initial = StartWatching(watcher);
  ASSERT_EQ(initial.size(), 2u);
  const DeviceService firstService =
      initial[0].device->GetLocationID() == 0x01230000u ? initial[0].service : initial[1].service;
  ASSERT_NE(Interest(watcher, firstService), 0u);

  bed.Remove(decoy);
  bed.Remove(first);
  ASSERT_TRUE(RunUntil([&] { return !log.removals.empty(); }));
  bed.Add(Tessel("1-6"), Echo());  // sentinel
  ASSERT_TRUE(RunUntil([&] { return !log.arrivals.empty(); }));

  EXPECT_EQ(log.removals, std::vector<DeviceService>{firstService});
  ASSERT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(log.messages[0].first, firstService);
  EXPECT_EQ(log.messages[0].second, kIOMessageServiceIsTerminated);
  EXPECT_EQ(log.order, (std::vector<std::string>{"message", "removal", "arrival"}));
  // The gone mouse's interest has lapsed; a new one cannot be had.
  EXPECT_EQ(Interest(watcher, firstService), 0u);
  (void)second;
}

TEST_F(UdevWatcherTest, SecondAddOfACapturedMouseIsIgnored) {
  const FakeMouse mouse = bed.Add(Tessel("1-2.3"), Echo());
  UdevDeviceWatcher watcher(nullptr, &diagnostics);
  ASSERT_EQ(StartWatching(watcher).size(), 1u);

  bed.Uevent(mouse.hidrawSyspaths[0], "add");
  bed.Uevent(mouse.hidrawSyspaths[0], "change");
  bed.Add(Tessel("1-6"), Echo());  // sentinel
  ASSERT_TRUE(RunUntil([&] { return !log.arrivals.empty(); }));
  EXPECT_EQ(log.arrivals.size(), 1u);
  EXPECT_EQ(log.arrivals[0].device->GetLocationID(), 0x01600000u);
}

TEST_F(UdevWatcherTest, RefusedNodeIsReportedOnceWithTheRuleAndRetriedOnChange) {
  bool refuse = true;
  int opens = 0;
  auto opener = [&](const TesselNode& node, std::unique_ptr<UsbDeviceInterface>& device, std::string* error) {
    ++opens;
    if (refuse) {
      return Failure(kIOReturnNotPermitted, error,
                     "cannot open " + node.devnode + ": Permission denied (install the udev rule 70-korvid-tessel.rules)");
    }
    return OpenTessel(node, device, error);
  };
  const FakeMouse mouse = bed.Add(Tessel("1-2.3"), Echo());
  UdevDeviceWatcher watcher(opener, &diagnostics);
  // Told as attached but refused, without a handle.
  const auto initial = StartWatching(watcher);
  ASSERT_EQ(initial.size(), 1u);
  EXPECT_TRUE(initial[0].refused);
  EXPECT_EQ(initial[0].device, nullptr);
  // Still refused at its next event: not told again.
  bed.Uevent(mouse.hidrawSyspaths[0], "change");
  const FakeMouse other = bed.Add(Tessel("1-5"), Echo());
  ASSERT_TRUE(RunUntil([&] { return opens >= 3; }));
  ASSERT_EQ(log.arrivals.size(), 1u);
  EXPECT_TRUE(log.arrivals[0].refused);
  // A refused mouse's removal is told with its service.
  const DeviceService second = log.arrivals[0].service;
  log.arrivals.clear();
  bed.Remove(other);
  ASSERT_TRUE(RunUntil([&] { return !log.removals.empty(); }));
  EXPECT_EQ(log.removals, std::vector<DeviceService>{second});

  const std::string text = diagnostics.str();
  EXPECT_NE(text.find("70-korvid-tessel.rules"), std::string::npos);
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;  // one line, once

  // The rule is installed and udev re-triggers the node: now the mouse is captured.
  refuse = false;
  bed.Uevent(mouse.hidrawSyspaths[0], "change");
  ASSERT_TRUE(RunUntil([&] { return !log.arrivals.empty(); }));
  ASSERT_NE(log.arrivals[0].device, nullptr);
  EXPECT_EQ(log.arrivals[0].service, initial[0].service);
  EXPECT_EQ(log.arrivals[0].device->GetLocationID(), 0x01230000u);
  // Captured at last, it is unplugged as any captured mouse is: its termination is told.
  ASSERT_NE(Interest(watcher, initial[0].service), 0u);
  log.removals.clear();
  bed.Remove(mouse);
  ASSERT_TRUE(RunUntil([&] { return !log.removals.empty(); }));
  EXPECT_EQ(log.messages, (std::vector<std::pair<DeviceService, std::uint32_t>>{
                              {initial[0].service, kIOMessageServiceIsTerminated}}));
  EXPECT_EQ(log.removals, std::vector<DeviceService>{initial[0].service});
}

TEST_F(UdevWatcherTest, VanishedNodeIsSkippedSilently) {
  auto opener = [](const TesselNode& node, std::unique_ptr<UsbDeviceInterface>&, std::string* error) {
    return Failure(kIOReturnNoDevice, error, "cannot open " + node.devnode + ": No such file or directory");
  };
  bed.Add(Tessel("1-2.3"), Echo());
  UdevDeviceWatcher watcher(opener, &diagnostics);
  EXPECT_TRUE(StartWatching(watcher).empty());
  EXPECT_TRUE(diagnostics.str().empty());
}

TEST_F(UdevWatcherTest, NothingIsDeliveredAfterStop) {
  const FakeMouse mouse = bed.Add(Tessel("1-2.3"), Echo());
  UdevDeviceWatcher watcher(nullptr, &diagnostics);
  const auto initial = StartWatching(watcher);
  ASSERT_EQ(initial.size(), 1u);
  ASSERT_NE(Interest(watcher, initial[0].service), 0u);
  watcher.Stop();
  watcher.Stop();
  bed.Remove(mouse);
  bed.Add(Tessel("1-5"), Echo());
  QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  watcher.ProcessPendingEvents();
  EXPECT_TRUE(log.order.empty());

  // Watching again finds what is attached now.
  const auto again = StartWatching(watcher);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].device->GetLocationID(), 0x01500000u);
  EXPECT_NE(again[0].service, initial[0].service);
}

TEST_F(UdevWatcherTest, HandlerMayStopTheWatcherWhileItDelivers) {
  UdevDeviceWatcher watcher(nullptr, &diagnostics);
  ASSERT_EQ(watcher.Start(), kIOReturnSuccess);
  int arrivals = 0;
  watcher.WatchArrivals([&](std::vector<DeviceArrival>) {
    ++arrivals;
    watcher.Stop();
  });
  bed.Add(Tessel("1-2"), Echo());
  bed.Add(Tessel("1-3"), Echo());
  ASSERT_TRUE(RunUntil([&] { return arrivals > 0; }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  EXPECT_EQ(arrivals, 1);
}

TEST_F(UdevWatcherTest, MouseGoneBeforeItsArrivalIsReadIsNeverReported) {
  UdevDeviceWatcher watcher(nullptr, &diagnostics);
  EXPECT_TRUE(StartWatching(watcher).empty());
  const FakeMouse fleeting = bed.Add(Tessel("1-2"), Echo());
  bed.Remove(fleeting);  // both events wait in the monitor; the device is already gone
  bed.Add(Tessel("1-6"), Echo());  // sentinel
  ASSERT_TRUE(RunUntil([&] { return !log.arrivals.empty(); }));
  EXPECT_EQ(log.order, std::vector<std::string>{"arrival"});
  EXPECT_EQ(log.arrivals[0].device->GetLocationID(), 0x01600000u);
  EXPECT_TRUE(diagnostics.str().empty());
}

}  // namespace
}  // namespace korvid
