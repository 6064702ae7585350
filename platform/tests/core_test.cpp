// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "platform/FourCC.h"
#include "platform/Sleeper.h"
#include "platform/Status.h"

namespace korvid {
namespace {

TEST(FourCC, PacksBigEndianAndReadsBack) {
  EXPECT_EQ(FourCC("KvSA"), 0x4B765341u);
  EXPECT_EQ(FourCC("----"), 0x2D2D2D2Du);
  EXPECT_EQ(FourCCString(FourCC("psn ")), "psn ");
}

TEST(Status, Widen16KeepsTheLowSignedHalf) {
  EXPECT_EQ(Widen16(kIOReturnBadArgument), 706);
  EXPECT_EQ(Widen16(procNotFound), -600);
  EXPECT_EQ(Widen16(0x00018000), -32768);
  EXPECT_EQ(Widen16(kIOReturnNoDevice), 704);
}

TEST(VirtualSleeper, AddsUpWithoutBlockingAndCallsTheHook) {
  VirtualSleeper sleeper;
  std::uint32_t seen = 0;
  sleeper.OnSleep([&](std::uint32_t us) { seen += us; });
  sleeper.SleepMicroseconds(100000);
  sleeper.SleepMicroseconds(1000);
  EXPECT_EQ(sleeper.TotalMicroseconds(), 101000u);
  EXPECT_EQ(sleeper.Calls(), 2u);
  EXPECT_EQ(seen, 101000u);
}

}  // namespace
}  // namespace korvid
