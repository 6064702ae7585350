// SPDX-License-Identifier: MIT
// Which X devices are the Tessel's, what value makes one flat, and when it is: from the
// property values xf86-input-libinput gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/desktop/XInputPointers.h"

namespace korvid {
namespace {

TEST(DesktopState, FromThePointersStates) {
  using S = PointerState;
  using A = DesktopAcceleration;
  struct Row {
    std::vector<PointerState> states;
    DesktopAcceleration desktop;
  };
  const Row rows[] = {
      {{}, A::kUnknown},
      {{S::kNotOurs, S::kNotOurs}, A::kUnknown},  // no Tessel pointer seen
      {{S::kNotOurs, S::kFlat}, A::kFlat},
      {{S::kFlat, S::kStacked, S::kFlat}, A::kStacked},
      {{S::kStacked, S::kNoAnswer}, A::kUnknown},  // one that did not answer may be anything
      {{S::kNoAnswer, S::kFlat}, A::kUnknown},
  };
  for (const Row& row : rows) EXPECT_EQ(CombinePointerStates(row.states), row.desktop) << row.states.size();
}

TEST(XInputChoice, TesselProductId) {
  struct Row {
    std::vector<std::uint32_t> ids;
    bool tessel;
  };
  const Row rows[] = {
      {{0x3A7C, 0x0D51}, true},
      {{0x0D51, 0x3A7C}, false},        // vendor and product the other way round
      {{0x3A7C, 0xC52B}, false},        // our vendor, another product
      {{0x046D, 0x0D51}, false},        // another vendor, our product number
      {{0x3A7C}, false},                // not the property's shape
      {{0x3A7C, 0x0D51, 0x0001}, false},
      {{}, false},
  };
  for (const Row& row : rows) EXPECT_EQ(xinput::IsTesselProductId(row.ids), row.tessel) << ::testing::PrintToString(row.ids);
}

TEST(XInputChoice, FlatProfileKeepsTheItemCountAndIsFlatAtZeroOnly) {
  struct Row {
    std::vector<std::uint8_t> enabled;
    std::optional<std::vector<std::uint8_t>> flat;
  };
  const Row rows[] = {
      {{1, 0}, std::vector<std::uint8_t>{0, 1}},        // adaptive, flat
      {{1, 0, 0}, std::vector<std::uint8_t>{0, 1, 0}},  // adaptive, flat, custom
      {{0, 0, 1}, std::vector<std::uint8_t>{0, 1, 0}},  // custom was on
      {{0, 1}, std::vector<std::uint8_t>{0, 1}},        // already flat
      {{1}, std::nullopt},
      {{1, 0, 0, 0}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(xinput::FlatProfile(row.enabled), row.flat) << ::testing::PrintToString(row.enabled);
    // Once the flat value is written, at speed 0, the device counts as flat; at any other
    // speed it does not.
    if (row.flat) {
      EXPECT_TRUE(xinput::IsFlatAtZero(*row.flat, 0.0f));
      EXPECT_FALSE(xinput::IsFlatAtZero(*row.flat, 0.25f));
      EXPECT_FALSE(xinput::IsFlatAtZero(*row.flat, -1.0f));
    }
  }
  EXPECT_FALSE(xinput::IsFlatAtZero(std::vector<std::uint8_t>{1, 0}, 0.0f));
  EXPECT_FALSE(xinput::IsFlatAtZero(std::vector<std::uint8_t>{0, 1, 1}, 0.0f));
  EXPECT_FALSE(xinput::IsFlatAtZero(std::vector<std::uint8_t>{0, 0, 1}, 0.0f));
  EXPECT_FALSE(xinput::IsFlatAtZero(std::vector<std::uint8_t>{1}, 0.0f));
}

}  // namespace
}  // namespace korvid
