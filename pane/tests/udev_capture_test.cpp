// SPDX-License-Identifier: MIT
// The pane capturing mice through the libudev watcher and real hidraw ioctls, in a umockdev
// testbed whose fake nodes are answered by simulated mice. Mouse waits are virtual.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <sstream>

#include "pane/KorvidTesselPane.h"
#include "platform/Identity.h"
#include "platform/devices/UdevDeviceWatcher.h"
#include "sim/testing/SimulatedTesselAnswerer.h"

namespace korvid {
namespace {

using testing::AnswerWith;
using testing::FakeMouse;
using testing::FakeMouseSpec;
using testing::UmockdevBed;

class TestPane : public KorvidTesselPane {
 public:
  using KorvidTesselPane::KorvidTesselPane;
  int updates = 0;

 protected:
  void UpdateUI() override { ++updates; }
};

FakeMouseSpec Spec(std::string name, std::string portPath, std::uint16_t vendor = kTesselVendorID) {
  FakeMouseSpec spec;
  spec.name = std::move(name);
  spec.portPath = std::move(portPath);
  spec.vendorID = vendor;
  spec.productID = kTesselProductID;
  spec.interfaces = 2;
  return spec;
}

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

class UdevCaptureTest : public ::testing::Test {
 protected:
  UdevCaptureTest() {
    auto watcher = std::make_unique<UdevDeviceWatcher>(nullptr, &diagnostics);
    pane = std::make_unique<TestPane>(std::move(watcher), sleeper);
  }
  ~UdevCaptureTest() override {
    pane.reset();
    for (const auto& mouse : mice) EXPECT_EQ(mouse->ViolationCount(), 0u);
  }
  std::shared_ptr<SimulatedTessel> NewMouse() {
    mice.push_back(std::make_shared<SimulatedTessel>());
    return mice.back();
  }

  int argc = 1;
  char name[8] = "pane";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};
  UmockdevBed bed;
  VirtualSleeper sleeper;
  std::ostringstream diagnostics;
  std::vector<std::shared_ptr<SimulatedTessel>> mice;
  std::unique_ptr<TestPane> pane;
};

TEST_F(UdevCaptureTest, AttachedMouseIsCapturedAndItsStateReadThroughHidraw) {
  auto mouse = NewMouse();
  mouse->SetFirmwareVersion(1, 5);
  bed.Add(Spec("1-2.3", "2.3"), AnswerWith(mouse));
  bed.Add(Spec("1-4", "4", 0x046D), AnswerWith(NewMouse()));  // decoy: never spoken to

  pane->StartHandlingDevices();
  ASSERT_EQ(pane->CapturedDeviceCount(), 1);
  const CapturedDeviceRec& record = *pane->FirstCapturedDevice();
  EXPECT_EQ(record.info.releaseNum, 0x0105);
  EXPECT_EQ(record.info.busPower, 100u);
  EXPECT_EQ(record.info.locationID, 0x01230000u);
  EXPECT_EQ(record.state.firmwareVers, 0x0105);
  EXPECT_EQ(record.state.pollingRate, 2);  // the mouse as shipped
  EXPECT_EQ(record.state.sensitivityX, 1800);
  EXPECT_EQ(record.state.lightOnWheel, 1);
  EXPECT_EQ(record.state.lightOnBattery, 1);
  EXPECT_GT(mouse->RequestCount(), 0u);
  EXPECT_EQ(mice[1]->RequestCount(), 0u);
}

TEST_F(UdevCaptureTest, HotPlugAndUnplugFollowTheMouse) {
  pane->StartHandlingDevices();
  EXPECT_EQ(pane->updates, 2);
  bed.Add(Spec("1-4", "4", 0x046D), AnswerWith(NewMouse()));
  const FakeMouse first = bed.Add(Spec("1-2", "2"), AnswerWith(NewMouse()));
  ASSERT_TRUE(RunUntil([&] { return pane->CapturedDeviceCount() == 1; }));
  const FakeMouse second = bed.Add(Spec("1-3", "3"), AnswerWith(NewMouse()));
  ASSERT_TRUE(RunUntil([&] { return pane->CapturedDeviceCount() == 2; }));
  EXPECT_EQ(pane->FirstCapturedDevice()->info.locationID, 0x01200000u);

  mice[1]->Unplug();
  bed.Remove(first);
  ASSERT_TRUE(RunUntil([&] { return pane->CapturedDeviceCount() == 1; }));
  EXPECT_EQ(pane->FirstCapturedDevice()->info.locationID, 0x01300000u);
  EXPECT_EQ(pane->FirstCapturedDevice()->state.sensitivityY, 1800);

  bed.Remove(second);
  ASSERT_TRUE(RunUntil([&] { return pane->CapturedDeviceCount() == 0; }));
  EXPECT_TRUE(diagnostics.str().empty());
  pane->StopHandlingDevices();
}

TEST_F(UdevCaptureTest, MouseUnpluggedDuringCaptureIsDroppedWhenUdevSaysSo) {
  pane->StartHandlingDevices();
  auto mouse = NewMouse();
  mouse->UnplugAfter(1);  // gone right after the clear-busy report
  const FakeMouse node = bed.Add(Spec("1-2", "2"), AnswerWith(mouse));
  ASSERT_TRUE(RunUntil([&] { return pane->CapturedDeviceCount() == 1; }));
  EXPECT_EQ(pane->FirstCapturedDevice()->state.firmwareVers, 0);  // reads after the unplug failed
  bed.Remove(node);
  ASSERT_TRUE(RunUntil([&] { return pane->CapturedDeviceCount() == 0; }));
  EXPECT_EQ(pane->FirstCapturedDevice(), nullptr);
}

}  // namespace
}  // namespace korvid
