// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "driver/KorvidTessel.h"
#include "driver/TesselPointing.h"
#include "platform/input/testing/FakeInputDevice.h"

namespace korvid {
namespace {

constexpr std::uint16_t kEvKey = 0x01;
constexpr std::uint16_t kBtnLeft = 0x110;
constexpr std::uint16_t kRelWheel = 0x08;
constexpr std::uint16_t kRelWheelHiRes = 0x0b;
constexpr std::uint16_t kEvMsc = 0x04;

OSDictionary Acceleration(std::int32_t value) {
  std::vector<std::uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return {{"HIDMouseAcceleration", bytes}};
}

struct Fixture {
  FakeInputDevice* device;
  std::unique_ptr<TesselPointing> pointing;
  Fixture() {
    auto fake = std::make_unique<FakeInputDevice>();
    device = fake.get();
    pointing = std::make_unique<TesselPointing>(std::move(fake));
  }
  void Feed(const std::vector<InputEvent>& events) { device->Feed(events); }
};

std::vector<InputEvent> Concat(std::initializer_list<std::vector<InputEvent>> parts) {
  std::vector<InputEvent> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A busy stream: buttons, wheels, scan codes, motion, all in reports.
std::vector<InputEvent> BusyStream() {
  return Concat({
      {{1000, kEvMsc, 4, 0x90001}, {1000, kEvKey, kBtnLeft, 1}, {1000, kEvSyn, kSynReport, 0}},
      MotionReport(2000, 9, -3),
      {{3000, kEvRel, kRelWheel, -1}, {3000, kEvRel, kRelWheelHiRes, -120}, {3000, kEvSyn, kSynReport, 0}},
      MotionReport(3500, 0, 40),
      {{4000, kEvRel, kRelX, 25}, {4000, kEvKey, kBtnLeft, 0}, {4000, kEvSyn, kSynReport, 0}},
  });
}

TEST(TesselPointing, WithoutAccelerationEveryEventGoesThroughUnchanged) {
  Fixture f;
  f.Feed(BusyStream());
  EXPECT_EQ(f.pointing->Pump(), kIOReturnSuccess);
  EXPECT_EQ(f.device->Written(), BusyStream());
}

TEST(TesselPointing, AccelerationScalesOnlyMotionAndKeepsTheOrder) {
  Fixture f;
  ASSERT_EQ(f.pointing->setParamProperties(Acceleration(65536)), kIOReturnSuccess);
  EXPECT_EQ(f.pointing->Acceleration(), 65536);
  const auto in = BusyStream();
  f.Feed(in);
  ASSERT_EQ(f.pointing->Pump(), kIOReturnSuccess);
  const auto& out = f.device->Written();
  ASSERT_EQ(out.size(), in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(out[i].type, in[i].type) << i;
    EXPECT_EQ(out[i].code, in[i].code) << i;
    if (in[i].type != kEvRel || (in[i].code != kRelX && in[i].code != kRelY)) {
      EXPECT_EQ(out[i].value, in[i].value) << i;
    }
  }
  // The fast reports moved further; none changed sign.
  EXPECT_GT(out[9].value, 40);   // REL_Y 40 in 1.5 ms
  EXPECT_GT(out[11].value, 25);  // REL_X 25 in 0.5 ms
}

TEST(TesselPointing, MotionMatchesTheCurveReportByReport) {
  Fixture f;
  f.pointing->setParamProperties(Acceleration(45056));
  MotionAccelerator reference;
  reference.SetParameter(45056);
  std::int64_t time = 0;
  for (int i = 1; i <= 50; ++i) {
    time += 1000;
    f.Feed(MotionReport(time, i % 13 - 6, 7 - i % 5));
    f.pointing->Pump();
    const auto expected = reference.Apply(i % 13 - 6, 7 - i % 5, time);
    const auto& out = f.device->Written();
    std::int32_t dx = 0, dy = 0;
    for (const auto& e : out) {
      if (e.type == kEvRel && e.code == kRelX) dx = e.value;
      if (e.type == kEvRel && e.code == kRelY) dy = e.value;
    }
    EXPECT_EQ(dx, expected.dx);
    EXPECT_EQ(dy, expected.dy);
    f.device->ClearWritten();
  }
}

TEST(TesselPointing, AReportSplitOverReadsComesOutWhole) {
  Fixture whole, split;
  for (Fixture* f : {&whole, &split}) f->pointing->setParamProperties(Acceleration(2 * 65536));
  whole.Feed(BusyStream());
  whole.pointing->Pump();
  split.device->SetReadBatch(1);
  split.Feed(BusyStream());
  std::size_t lastSize = 0;
  for (int i = 0; i < 40; ++i) {
    split.pointing->Pump();
    // Nothing leaves before its report is complete.
    const auto& out = split.device->Written();
    if (out.size() != lastSize) {
      EXPECT_EQ(out.back().type, kEvSyn);
    }
    lastSize = out.size();
  }
  EXPECT_EQ(split.device->Written(), whole.device->Written());
}

TEST(TesselPointing, ADroppedReportIsDiscardedAndTheStreamGoesOn) {
  Fixture f;
  f.Feed({{1000, kEvRel, kRelX, 5}, {1000, kEvSyn, kSynDropped, 0}});
  f.Feed(MotionReport(2000, 2, 0));
  f.pointing->Pump();
  EXPECT_EQ(f.device->Written(), MotionReport(2000, 2, 0));
}

TEST(TesselPointing, AnEndlessReportIsPassedOnUnscaledAndStaysBounded) {
  Fixture f;
  f.pointing->setParamProperties(Acceleration(2 * 65536));
  std::vector<InputEvent> flood(TesselPointing::kMaxReportEvents * 3, InputEvent{0, kEvRel, kRelX, 50});
  f.Feed(flood);
  f.pointing->Pump();
  const auto& out = f.device->Written();
  EXPECT_EQ(out.size(), TesselPointing::kMaxReportEvents * 2);
  for (const auto& e : out) EXPECT_EQ(e.value, 50);
}

TEST(TesselPointing, TakesOnlyAFourByteAcceleration) {
  Fixture f;
  EXPECT_EQ(f.pointing->setParamProperties(Acceleration(65536)), kIOReturnSuccess);
  EXPECT_EQ(f.pointing->setParamProperties({{"HIDMouseAcceleration", {1, 2}}}), kIOReturnBadArgument);
  EXPECT_EQ(f.pointing->setParamProperties({{"HIDMouseAcceleration", std::vector<std::uint8_t>(8)}}),
            kIOReturnBadArgument);
  EXPECT_EQ(f.pointing->Acceleration(), 65536);
  EXPECT_EQ(f.pointing->setParamProperties({{"HIDPointerResolution", {0, 0, 0, 1}}}), kIOReturnSuccess);
  EXPECT_EQ(f.pointing->Acceleration(), 65536);
  EXPECT_EQ(f.pointing->setParamProperties(Acceleration(0)), kIOReturnSuccess);
  EXPECT_EQ(f.pointing->Acceleration(), 0);
}

TEST(TesselPointing, AnUnpluggedMouseIsReported) {
  Fixture f;
  f.device->Unplug();
  EXPECT_EQ(f.pointing->Pump(), kIOReturnNoDevice);
}

TEST(TesselPointing, TheDriverFindsItAndSetsItsAcceleration) {
  IOUSBDevice device({0x3A7C, 0x0D51, 0x100, 1});
  IOUSBInterface interface(&device, 0);
  KorvidTessel driver;
  ASSERT_TRUE(driver.start(&interface));
  Fixture f;
  f.pointing->attach(&driver);
  std::uint64_t out = 1;
  EXPECT_EQ(driver.Control(0, kKvSA, 0x18000, &out), kIOReturnSuccess);
  EXPECT_EQ(f.pointing->Acceleration(), 0x18000);
}

TEST(KernelPointing, WritesTheParameterToTheModulesAttributeAndReportsAGoneOne) {
  const std::string path = ::testing::TempDir() + "korvid_acceleration";
  std::ofstream(path) << "0\n";
  KernelPointing pointing(path);
  EXPECT_EQ(pointing.setParamProperties(Acceleration(-45056)), kIOReturnSuccess);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "-45056\n");
  EXPECT_EQ(pointing.setParamProperties({{"HIDMouseAcceleration", {1, 2}}}), kIOReturnBadArgument);
  EXPECT_EQ(pointing.setParamProperties({{"HIDPointerResolution", {0, 0, 0, 1}}}), kIOReturnSuccess);
  std::remove(path.c_str());
  EXPECT_EQ(pointing.setParamProperties(Acceleration(65536)), kIOReturnNoDevice);
}

}  // namespace
}  // namespace korvid
