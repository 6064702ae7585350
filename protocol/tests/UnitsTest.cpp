// SPDX-License-Identifier: MIT
#include "protocol/Units.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(UnitsTest, DpiSteps) {
  EXPECT_EQ(DpiToStep(100), 0);
  EXPECT_EQ(DpiToStep(1800), 0x44);
  EXPECT_EQ(DpiToStep(1810), 0x44);  // not reachable exactly: rounds down
  EXPECT_EQ(DpiToStep(1820), 0x44);  // even from nearer the next step
  EXPECT_EQ(DpiToStep(6475), 255);
  EXPECT_EQ(StepToDpi(0x44), 1800u);
}

TEST(UnitsTest, PollingCodeTheSystemDoesNotOfferHasNoRate) { EXPECT_EQ(PollingCodeToHz(4), 0u); }

TEST(UnitsTest, FirmwareVersionHasTwoMinorDigits) {
  EXPECT_EQ(FirmwareVersionText(0x0105), "1.05");
  EXPECT_EQ(FirmwareVersionText(0x0A1E), "10.30");
  EXPECT_EQ(FirmwareVersionText(0), "0.00");
}

}  // namespace
}  // namespace korvid
