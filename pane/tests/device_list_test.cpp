// SPDX-License-Identifier: MIT
// The pane's captured-device list with simulated mice, in virtual time.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "pane/KorvidTesselPane.h"
#include "pane/devices/DeviceQueues.h"
#include "pane/devices/testing/ManualDeviceExecutor.h"
#include "platform/Identity.h"
#include "platform/devices/SimulatedDeviceWatcher.h"
#include "sim/SimulatedTessel.h"

namespace korvid {
namespace {

class TestPane : public KorvidTesselPane {
 public:
  using KorvidTesselPane::KorvidTesselPane;
  int updates = 0;

 protected:
  void UpdateUI() override { ++updates; }
};

std::shared_ptr<SimulatedTessel> Mouse(std::uint32_t location) {
  auto mouse = std::make_shared<SimulatedTessel>();
  mouse->SetLocationID(location);
  return mouse;
}

class DeviceListTest : public ::testing::Test {
 protected:
  DeviceListTest() {
    auto owned = std::make_unique<SimulatedDeviceWatcher>();
    watcher = owned.get();
    pane = std::make_unique<TestPane>(std::move(owned), sleeper);
  }
  void TearDown() override {
    for (const auto& mouse : mice) EXPECT_EQ(mouse->ViolationCount(), 0u) << mouse->Violations().front();
  }
  DeviceService Plug(std::uint32_t location) {
    mice.push_back(Mouse(location));
    return watcher->Plug(mice.back());
  }
  std::vector<std::uint32_t> Locations() const {
    std::vector<std::uint32_t> result;
    for (const auto& record : pane->CapturedDevices()) result.push_back(record.info.locationID);
    return result;
  }

  VirtualSleeper sleeper;
  SimulatedDeviceWatcher* watcher = nullptr;
  std::unique_ptr<TestPane> pane;
  std::vector<std::shared_ptr<SimulatedTessel>> mice;
};

TEST_F(DeviceListTest, StartWithoutMiceUpdatesTheDisplayOncePerInitialWalk) {
  pane->StartHandlingDevices();
  EXPECT_TRUE(pane->HandlingDevices());
  EXPECT_EQ(pane->updates, 2);
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(pane->FirstCapturedDevice(), nullptr);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 0u);
}

TEST_F(DeviceListTest, AttachedMiceAreCapturedInOrderWithTheirIdentity) {
  Plug(0x01100000);
  Plug(0x01200000);
  mice[0]->SetDeviceReleaseNumber(0x0105);
  mice[0]->SetDeviceBusPowerAvailable(50);
  pane->StartHandlingDevices();
  EXPECT_EQ(pane->CapturedDeviceCount(), 2);
  EXPECT_EQ(Locations(), (std::vector<std::uint32_t>{0x01100000, 0x01200000}));
  const CapturedDeviceRec* first = pane->FirstCapturedDevice();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->device.get(), mice[0].get());
  EXPECT_EQ(first->info.vendorID, kTesselVendorID);
  EXPECT_EQ(first->info.productID, kTesselProductID);
  EXPECT_EQ(first->info.releaseNum, 0x0105);
  EXPECT_EQ(first->info.busPower, 100u);  // 50 units of 2 mA
  EXPECT_EQ(first->info.deviceIndex, 0);
  EXPECT_EQ(first->info.reserved1 + first->info.reserved2 + first->info.reserved3, 0u);
  EXPECT_NE(first->notification, 0u);
  EXPECT_EQ(watcher->InterestCount(), 2u);
  EXPECT_EQ(pane->updates, 2);
}

TEST_F(DeviceListTest, UnpluggingTheFirstMakesTheSecondCurrent) {
  const auto a = Plug(0x01100000);
  pane->StartHandlingDevices();
  Plug(0x01200000);
  watcher->DeliverPending();
  EXPECT_EQ(pane->updates, 3);
  EXPECT_EQ(Locations(), (std::vector<std::uint32_t>{0x01100000, 0x01200000}));

  watcher->Unplug(a);
  mice[0]->Unplug();
  watcher->DeliverPending();
  EXPECT_EQ(pane->CapturedDeviceCount(), 1);
  EXPECT_EQ(Locations(), (std::vector<std::uint32_t>{0x01200000}));
  EXPECT_EQ(pane->FirstCapturedDevice()->device.get(), mice[1].get());
  EXPECT_EQ(pane->updates, 5);  // after the record is dropped, and after the removal walk
  EXPECT_EQ(watcher->InterestCount(), 1u);
  EXPECT_EQ(mice[0].use_count(), 1);  // the pane let go of the gone mouse's handle
}

TEST_F(DeviceListTest, StateIsReadFromTheMouseAfterTheSettleAndTheClearBusyReport) {
  Plug(0x01100000);
  SimulatedTessel& mouse = *mice[0];
  mouse.SetFirmwareVersion(1, 5);
  auto settings = mouse.Settings();
  settings[1] = 8;     // polling code
  settings[2] = 1;     // stage 1
  settings[3] = 0x1C;
  settings[4] = 0x2C;
  mouse.SetSettings(settings);
  auto configuration = mouse.Configuration();
  configuration[1] = 0x01;  // wheel light only
  configuration[3] = 5;
  configuration[4] = 0x1C;  // stage 1: X 800 DPI
  configuration[5] = 0x2C;  //          Y 1200 DPI
  mouse.SetConfiguration(configuration);
  std::vector<std::uint32_t> sleeps;
  sleeper.OnSleep([&](std::uint32_t us) { sleeps.push_back(us); });

  pane->StartHandlingDevices();

  const CapturedDeviceState& state = pane->FirstCapturedDevice()->state;
  EXPECT_EQ(state.firmwareVers, 0x0105);
  EXPECT_EQ(state.pollingRate, 8);
  EXPECT_EQ(state.sensitivityX, 800);
  EXPECT_EQ(state.sensitivityY, 1200);
  EXPECT_EQ(state.independentXY, 1);
  EXPECT_EQ(state.lightOnWheel, 1);
  EXPECT_EQ(state.lightOnBattery, 0);
  EXPECT_EQ(state.lightOnDock, 0);

  // 250 ms before anything is sent, then the clear-busy report, then the commands.
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps.front(), 250000u);
  const auto writes = mouse.Writes();
  ASSERT_FALSE(writes.empty());
  SimulatedTessel::Report clearBusy{};
  clearBusy[0] = 1;
  clearBusy[89] = 1;
  EXPECT_EQ(writes.front(), clearBusy);
  // Eight commands (firmware, polling, two for DPI, two for each light), 100 ms each.
  EXPECT_EQ(sleeper.TotalMicroseconds(), 250000u + 8u * 100000u);
}

TEST_F(DeviceListTest, EqualStepsAreNotIndependent) {
  Plug(0x01100000);  // the mouse as shipped: stage 3 at 1800 DPI on both axes
  pane->StartHandlingDevices();
  const CapturedDeviceState& state = pane->FirstCapturedDevice()->state;
  EXPECT_EQ(state.sensitivityX, 1800);
  EXPECT_EQ(state.sensitivityY, 1800);
  EXPECT_EQ(state.independentXY, 0);
}

TEST_F(DeviceListTest, SecondArrivalOfACapturedMouseChangesNothing) {
  const auto a = Plug(0x01100000);
  pane->StartHandlingDevices();
  const std::size_t requests = mice[0]->RequestCount();
  const std::uint64_t slept = sleeper.TotalMicroseconds();
  watcher->ReportAgain(a);
  watcher->DeliverPending();
  EXPECT_EQ(pane->CapturedDeviceCount(), 1);
  EXPECT_EQ(watcher->InterestCount(), 1u);
  EXPECT_EQ(mice[0]->RequestCount(), requests);
  EXPECT_EQ(sleeper.TotalMicroseconds(), slept);
  EXPECT_EQ(pane->updates, 3);

  // Its one termination drops its one record.
  watcher->Unplug(a);
  watcher->DeliverPending();
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
}

TEST_F(DeviceListTest, AddingAKnownHandleReturnsItsRecord) {
  auto mouse = Mouse(0x01100000);
  CapturedDeviceRec* record = pane->AddCapturedDevice(mouse, kTesselVendorID, kTesselProductID, 1, 2, 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(pane->AddCapturedDevice(mouse, kTesselVendorID, kTesselProductID, 9, 9, 9), record);
  EXPECT_EQ(pane->CapturedDeviceCount(), 1);
  EXPECT_EQ(record->info.releaseNum, 1);
  EXPECT_EQ(pane->FindCapturedDevice(mouse.get()), record);
  EXPECT_EQ(pane->AddCapturedDevice(nullptr, kTesselVendorID, kTesselProductID, 1, 2, 3), nullptr);
}

TEST_F(DeviceListTest, RemovingAnUnknownHandleChangesNothing) {
  auto known = Mouse(0x01100000);
  auto stranger = Mouse(0x01200000);
  pane->RemoveCapturedDevice(stranger.get());
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  pane->AddCapturedDevice(known, kTesselVendorID, kTesselProductID, 1, 2, 3);
  pane->RemoveCapturedDevice(stranger.get());
  pane->RemoveCapturedDevice(nullptr);
  EXPECT_EQ(pane->CapturedDeviceCount(), 1);
  EXPECT_EQ(pane->FindCapturedDevice(stranger.get()), nullptr);
  pane->RemoveCapturedDevice(known.get());
  pane->RemoveCapturedDevice(known.get());
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(known.use_count(), 1);
}

TEST_F(DeviceListTest, OnlyATerminationWithOneOfOurRecordsDropsIt) {
  Plug(0x01100000);
  pane->StartHandlingDevices();
  CapturedDeviceRec* record = pane->FirstCapturedDevice();
  const int updates = pane->updates;

  pane->KorvidTesselMessage(nullptr, 1, kIOMessageServiceIsTerminated, nullptr);
  pane->KorvidTesselMessage(record, 1, 0xE0000020u, nullptr);  // another message
  CapturedDeviceRec stranger;
  pane->KorvidTesselMessage(&stranger, 1, kIOMessageServiceIsTerminated, nullptr);
  EXPECT_EQ(pane->CapturedDeviceCount(), 1);
  EXPECT_EQ(pane->updates, updates);

  pane->KorvidTesselMessage(record, 1, kIOMessageServiceIsTerminated, nullptr);
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(pane->updates, updates + 1);
  EXPECT_EQ(watcher->InterestCount(), 0u);
}

TEST_F(DeviceListTest, RemovalOfAMouseNeverCapturedOnlyUpdatesTheDisplay) {
  auto odd = Mouse(0x01300000);
  odd->SetDeviceVendor(0x046D);  // not a Tessel
  mice.push_back(odd);
  const auto service = watcher->Plug(odd);
  pane->StartHandlingDevices();
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(odd->RequestCount(), 0u);
  watcher->Unplug(service);
  watcher->DeliverPending();
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(pane->updates, 3);
}

TEST_F(DeviceListTest, ArrivalWithoutAHandleIsSkipped) {
  pane->StartHandlingDevices();
  watcher->Plug(nullptr);
  watcher->DeliverPending();
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(pane->updates, 3);
}

TEST_F(DeviceListTest, MouseThatVanishesDuringCaptureLeavesNoRecord) {
  pane->StartHandlingDevices();
  const auto service = Plug(0x01100000);
  bool pulled = false;
  sleeper.OnSleep([&](std::uint32_t) {
    if (pulled) return;
    pulled = true;  // gone during the settle pause
    mice[0]->Unplug();
    watcher->Unplug(service);
  });
  // The arrival, then the removal queued while the mouse was being captured.
  EXPECT_EQ(watcher->DeliverPending(), 2);
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(pane->FirstCapturedDevice(), nullptr);
  EXPECT_EQ(watcher->InterestCount(), 0u);
  EXPECT_EQ(mice[0].use_count(), 1);  // nobody but the test holds the gone mouse
  // After the arrival, after the record is dropped, and after the removal walk.
  EXPECT_EQ(pane->updates, 5);
}

TEST_F(DeviceListTest, StopDropsEveryRecordWithoutUpdatingTheDisplay) {
  Plug(0x01100000);
  Plug(0x01200000);
  pane->StopHandlingDevices();  // before any start: nothing
  EXPECT_FALSE(pane->HandlingDevices());
  pane->StartHandlingDevices();
  const int updates = pane->updates;
  pane->StopHandlingDevices();
  EXPECT_FALSE(pane->HandlingDevices());
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_TRUE(pane->CapturedDevices().empty());
  EXPECT_EQ(watcher->InterestCount(), 0u);
  EXPECT_FALSE(watcher->Watching());
  EXPECT_EQ(pane->updates, updates);
  EXPECT_EQ(mice[0].use_count(), 2);  // ours and the watcher's: the pane holds none
  pane->StopHandlingDevices();
  EXPECT_EQ(pane->updates, updates);

  // Selecting again captures the attached mice afresh.
  pane->StartHandlingDevices();
  EXPECT_EQ(pane->CapturedDeviceCount(), 2);
}

TEST_F(DeviceListTest, StartTwiceCapturesOnce) {
  Plug(0x01100000);
  pane->StartHandlingDevices();
  pane->StartHandlingDevices();
  EXPECT_EQ(pane->CapturedDeviceCount(), 1);
  EXPECT_EQ(pane->updates, 2);
}

TEST_F(DeviceListTest, WithoutAWatchingFacilityNothingIsCapturedButTheFlagStays) {
  Plug(0x01100000);
  watcher->SetAvailable(false);
  pane->StartHandlingDevices();
  EXPECT_TRUE(pane->HandlingDevices());
  EXPECT_EQ(pane->CapturedDeviceCount(), 0);
  EXPECT_EQ(pane->updates, 0);
  pane->StopHandlingDevices();
  EXPECT_FALSE(pane->HandlingDevices());
}

TEST_F(DeviceListTest, TheGlobalControllerIsThePaneWhileItLives) {
  EXPECT_EQ(gKorvidTesselPane, pane.get());
  pane.reset();
  EXPECT_EQ(gKorvidTesselPane, nullptr);
}

TEST_F(DeviceListTest, NullRecordStateReadDoesNothing) {
  pane->GetDeviceState(nullptr);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 0u);
}

}  // namespace
}  // namespace korvid

namespace korvid {
namespace {

// A mouse's queue on its own: what runs, in which order, and which results come back.
TEST(DeviceQueues, ANewerDpiReplacesAWaitingOneAndOnlyItAndCancelDropsTheResults) {
  auto manual = std::make_unique<ManualDeviceExecutor>();
  ManualDeviceExecutor& executor = *manual;
  DeviceQueues queues(std::move(manual));
  auto mouse = std::make_shared<SimulatedTessel>();
  std::vector<std::string> log;
  const auto add = [&](DeviceQueues::Kind kind, const std::string& name) {
    queues.Enqueue(mouse, kind, [&log, name] { log.push_back("run " + name); },
                   [&log, name] { log.push_back("done " + name); });
  };
  using Kind = DeviceQueues::Kind;
  const auto run = [&] {
    executor.RunAll();
    return std::exchange(log, {});
  };
  // A read or a light write leaves a waiting DPI alone; a newer DPI takes its place.
  add(Kind::kRead, "read1");
  add(Kind::kDpi, "dpi1");
  add(Kind::kRead, "read2");
  EXPECT_EQ(run(), (std::vector<std::string>{"run read1", "done read1", "run dpi1", "done dpi1", "run read2",
                                             "done read2"}));
  add(Kind::kRead, "read3");
  add(Kind::kDpi, "dpi2");
  add(Kind::kWrite, "light");
  add(Kind::kDpi, "dpi3");
  EXPECT_EQ(run(), (std::vector<std::string>{"run read3", "done read3", "run light", "done light", "run dpi3",
                                             "done dpi3"}));
  // An unplug: the job on the wire finishes, but neither its result nor what waited comes.
  add(Kind::kRead, "read4");
  add(Kind::kDpi, "dpi4");
  queues.Cancel(mouse.get());
  EXPECT_EQ(run(), std::vector<std::string>{"run read4"});
  EXPECT_TRUE(queues.Idle());
}

}  // namespace
}  // namespace korvid
