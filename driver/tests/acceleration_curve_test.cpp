// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "driver/AccelerationCurve.h"

namespace korvid {
namespace {

using Motion = MotionAccelerator::Motion;

constexpr std::int32_t kOne = 65536;  // 1.0 in 16.16

struct Step {
  std::int32_t dx, dy;
  std::int64_t timeUs;
};

std::vector<Motion> RunPath(std::int32_t parameter, const std::vector<Step>& steps) {
  MotionAccelerator accelerator;
  accelerator.SetParameter(parameter);
  std::vector<Motion> out;
  for (const Step& s : steps) out.push_back(accelerator.Apply(s.dx, s.dy, s.timeUs));
  return out;
}

std::vector<Step> RandomSteps(unsigned seed, int count, int maxDelta) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delta(-maxDelta, maxDelta);
  std::uniform_int_distribution<int> interval(100, 20000);
  std::vector<Step> steps;
  std::int64_t time = 0;
  for (int i = 0; i < count; ++i) {
    time += interval(random);
    steps.push_back({delta(random), delta(random), time});
  }
  return steps;
}

TEST(CurveGain, PinnedSpeedsAndGains) {
  // Speeds and gains in 16.16: the curve is exact wherever the numbers allow it.
  struct Row {
    std::int32_t dx, dy;
    std::int64_t intervalUs;
    std::int32_t parameter;
    std::uint32_t speed;
    std::uint64_t gain;
  } rows[] = {
      {1, 0, 2000, kOne, kOne / 2, kOne},         // slow: one to one
      {1, 0, 1000, kOne, kOne, kOne},             // at the threshold
      {9, 0, 1000, kOne, 9 * kOne, 2 * kOne},     // 1 + 1 · 8/8
      {15, 20, 1000, kOne, 25 * kOne, 4 * kOne},  // the top of the curve
      {2500, 0, 100000, kOne, 25 * kOne, 4 * kOne},        // long enough to be the top at any interval
      {1000, 0, 1000, kOne, 25 * kOne, 4 * kOne},          // above the top: capped
      {9, 0, 1000, 2 * kOne, 9 * kOne, 3 * kOne},
      {17, 0, 1000, kOne / 2, 17 * kOne, 2 * kOne},
      {3, 4, 1000, 6554, 5 * kOne, kOne + 3277},  // 6554 · 4/8, exactly
      {1, 1, 1000, kOne, 92681, kOne + 3393},     // √2 truncated: 1.41421 → gain 1.0518
      {9, 0, 1000, 0, 9 * kOne, kOne},            // linear
      {9, 0, 1000, -kOne, 9 * kOne, kOne},
      {9, 0, 1000, 0x7FFFFFFF, 9 * kOne, kOne + 0x7FFFFFFFull},
      {8, 0, 0, kOne, 25 * kOne, 4 * kOne},       // no time between reports counts as 8000 Hz
      {500, 0, 1'000'000, kOne, 5 * kOne, kOne + kOne / 2},  // a longer pause counts as the longest
      {-8, 0, -5, kOne, 25 * kOne, 4 * kOne},
      {std::numeric_limits<std::int32_t>::min(), 0, 1000, kOne, 25 * kOne, 4 * kOne},
  };
  for (const Row& row : rows) {
    const std::uint32_t speed = AccelerationCurve::Speed(row.dx, row.dy, row.intervalUs);
    EXPECT_EQ(speed, row.speed) << row.dx << "," << row.dy << " in " << row.intervalUs;
    EXPECT_EQ(AccelerationCurve::Gain(speed, row.parameter), row.gain) << row.dx << "," << row.dy << " p " << row.parameter;
  }
  // The length behind every speed is the exact integer square root.
  std::mt19937_64 random(5);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t x = i < 64 ? (std::uint64_t{1} << i) - (i % 2) : random() >> (random() % 64);
    const std::uint64_t r = korvid_curve_isqrt(x);
    ASSERT_LE(r, 0xFFFFFFFFu) << x;
    ASSERT_LE(r * r, x) << x;
    ASSERT_TRUE(r == 0xFFFFFFFFu || (r + 1) * (r + 1) > x) << x;
  }
}

// floor(sqrt(x)) one result bit at a time: slow, and plainly right.
std::uint64_t BitByBitRoot(std::uint64_t x) {
  std::uint64_t root = 0;
  for (std::uint64_t bit = std::uint64_t{1} << 62; bit != 0; bit >>= 2) {
    if (x >= root + bit) {
      x -= root + bit;
      root = (root >> 1) + bit;
    } else {
      root >>= 1;
    }
  }
  return root;
}

TEST(CurveSpeed, RootAndTopShortcutMatchTheLengthDividedByTheInterval) {
  // Every squared length the speed can ask for below 2^20 counts², and a sample above.
  std::mt19937 random(7);
  for (std::uint64_t i = 0; i < (1u << 21); ++i) {
    const std::uint64_t square = i < (1u << 20) ? i : random() & 0xFFFFFF;
    const std::uint64_t root = BitByBitRoot(square << 32);
    ASSERT_EQ(korvid_curve_isqrt(square << 32), root) << square;
    // Exact in at most one correcting step.
    if (square != 0) {
      ASSERT_LE(korvid_curve_root_estimate(square << 32) - root + 1, 2u) << square;
    }
  }
  // Speeds on both sides of the top, where no root is taken, and of the threshold.
  const std::uint64_t top = AccelerationCurve::kTopSpeed;
  const auto check = [&](std::int32_t dx, std::int32_t dy, std::int64_t interval) {
    const std::uint64_t square = std::uint64_t(std::int64_t{dx} * dx + std::int64_t{dy} * dy) << 32;
    const std::uint64_t expected = std::min(BitByBitRoot(square) * 1000 / interval, top);
    ASSERT_EQ(AccelerationCurve::Speed(dx, dy, interval), expected) << dx << "," << dy << " in " << interval;
  };
  for (const std::int64_t interval : {125, 999, 1000, 1001, 4000, 7777}) {
    for (std::int32_t dx = -70; dx <= 70; ++dx) {
      for (std::int32_t dy = 0; dy <= 70; ++dy) check(dx, dy, interval);
    }
  }
  // Lengths a hair under the top speed: ceil(top · interval / 1000) - 1, where top ·
  // interval is no multiple of 1000.
  check(40, 32, 2049);
  check(80, 2, 3201);
  check(128, 23, 5202);
  for (const std::int64_t interval : {40000, 100000}) {
    for (std::int32_t dx = -2600; dx <= 2600; dx += 13) {
      for (std::int32_t dy = 0; dy <= 2600; dy += 13) check(dx, dy, interval);
    }
  }
}

TEST(CurveApply, PinnedOutputs) {
  struct Row {
    std::int32_t parameter;
    std::int32_t dx, dy;
    std::int64_t intervalUs;
    std::int32_t outX, outY;
  } rows[] = {
      {kOne, 3, 4, 1000, 4, 6},           // speed 5: gain 1.5, x keeps 0.5
      {kOne, -3, -4, 1000, -4, -6},       // mirrored
      {2 * kOne, 1, 0, 1000, 1, 0},       // at the threshold: one to one
      {kOne, 8, 0, 1000, 15, 0},          // speed 8: gain 1.875
      {kOne, 8, 0, 125, 32, 0},           // speed 64: capped gain 4
      {kOne, 8, 0, 0, 32, 0},             // no time between reports counts as 8000 Hz
      {kOne, 8, 0, 1'000'000, 8, 0},      // after a pause: slow
      {45056, 20, -10, 1000, 56, -28},    // 0.6875: speed 22.36, gain 2.8357
      {0x7FFFFFFF, 100000, 0, 1000, std::numeric_limits<std::int32_t>::max(), 0},
  };
  for (const Row& row : rows) {
    MotionAccelerator accelerator;
    accelerator.SetParameter(row.parameter);
    accelerator.Apply(0, 0, 0);  // sets the clock
    const Motion m = accelerator.Apply(row.dx, row.dy, row.intervalUs);
    EXPECT_EQ(m.dx, row.outX) << row.parameter << ": " << row.dx << "," << row.dy << " in " << row.intervalUs;
    EXPECT_EQ(m.dy, row.outY) << row.parameter << ": " << row.dx << "," << row.dy << " in " << row.intervalUs;
  }
}

TEST(CurveProperties, ZeroAndNegativeParametersAreLinear) {
  const auto steps = RandomSteps(1, 2000, 200);
  for (std::int32_t parameter : {0, -1, -kOne, std::numeric_limits<std::int32_t>::min()}) {
    const auto out = RunPath(parameter, steps);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      ASSERT_EQ(out[i].dx, steps[i].dx);
      ASSERT_EQ(out[i].dy, steps[i].dy);
    }
  }
}

TEST(CurveProperties, GainIsContinuousAndNeverFallsAsSpeedOrParameterGrows) {
  const std::int32_t parameters[] = {std::numeric_limits<std::int32_t>::min(), -kOne, 0, 1, 6554, 45056, kOne,
                                     2 * kOne, 100 * kOne, 0x7FFFFFFF};
  for (std::int32_t parameter : parameters) {
    // One step of speed (1/65536 count per ms) moves the gain by at most a / 8 of a step,
    // rounded up; the gain never falls and never goes below 1.
    const std::uint64_t step = static_cast<std::uint64_t>(std::max(parameter, 0)) / 8 / 65536 + 1;
    std::uint64_t previous = AccelerationCurve::Gain(0, parameter);
    for (std::uint32_t v = 1; v < 40u * kOne; v += 13) {
      const std::uint64_t gain = AccelerationCurve::Gain(v, parameter);
      ASSERT_GE(gain, previous) << v;
      ASSERT_LE(gain - previous, step * 13) << v;
      ASSERT_GE(gain, static_cast<std::uint64_t>(kOne));
      previous = gain;
    }
  }
  for (std::uint32_t v : {0u, 2u * kOne, 9u * kOne, 30u * kOne}) {
    std::uint64_t previous = 0;
    for (std::int32_t parameter : parameters) {
      ASSERT_GE(AccelerationCurve::Gain(v, parameter), previous) << v;
      previous = AccelerationCurve::Gain(v, parameter);
    }
    for (std::int32_t p = 0; p < 4 * kOne; p += 97) {
      ASSERT_LE(AccelerationCurve::Gain(v, p + 1) - AccelerationCurve::Gain(v, p), 3u) << v;  // RANGE / REFERENCE
    }
  }
  // Speed never falls as the motion grows or the interval shrinks.
  for (std::int64_t interval : {125, 1000, 8000, 100000}) {
    std::uint32_t previous = 0;
    for (std::int32_t d = 0; d < 4000; ++d) {
      ASSERT_GE(AccelerationCurve::Speed(d, d / 2, interval), previous) << d;
      previous = AccelerationCurve::Speed(d, d / 2, interval);
    }
  }
  // Through the whole path: a faster report of the same motion moves at least as far.
  MotionAccelerator slow, fast;
  slow.SetParameter(kOne);
  fast.SetParameter(kOne);
  slow.Apply(0, 0, 0);
  fast.Apply(0, 0, 0);
  EXPECT_LE(slow.Apply(6, 2, 4000).dx, fast.Apply(6, 2, 500).dx);
}

TEST(CurveProperties, MirroredMotionGivesMirroredOutput) {
  const auto steps = RandomSteps(7, 3000, 60);
  std::vector<Step> mirrored = steps;
  for (Step& s : mirrored) {
    s.dx = -s.dx;
    s.dy = -s.dy;
  }
  for (std::int32_t parameter : {6554, 45056, kOne, 2 * kOne}) {
    const auto out = RunPath(parameter, steps);
    const auto back = RunPath(parameter, mirrored);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      ASSERT_EQ(back[i].dx, -out[i].dx) << i;
      ASSERT_EQ(back[i].dy, -out[i].dy) << i;
    }
  }
}

TEST(CurveProperties, FractionsAddUpSoSlowMotionIsNeverLost) {
  MotionAccelerator accelerator;
  accelerator.SetParameter(kOne / 2);
  std::int64_t time = 0;
  accelerator.Apply(0, 0, time);
  // 3 counts in 1 ms = speed 3: gain 1 + 0.5 * 2/8 = 1.125; eight reports give 27 counts.
  std::int64_t total = 0;
  for (int i = 0; i < 8; ++i) total += accelerator.Apply(3, 0, time += 1000).dx;
  EXPECT_EQ(total, 27);
  EXPECT_EQ(accelerator.RemainderX(), 0);

  // Over a long random path in one direction the output is the sum of every report's
  // scaled motion to the last 1/65536, the rest being the remainder.
  MotionAccelerator walker;
  walker.SetParameter(45056);
  std::uint64_t exact = 0;
  std::int64_t moved = 0;
  std::mt19937 random(3);
  std::uniform_int_distribution<int> delta(1, 12);
  time = 0;
  walker.Apply(0, 0, time);
  for (int i = 0; i < 5000; ++i) {
    const int d = delta(random);
    time += 1000;
    exact += d * AccelerationCurve::Gain(AccelerationCurve::Speed(d, 0, 1000), 45056);
    moved += walker.Apply(d, 0, time).dx;
  }
  EXPECT_EQ(exact, static_cast<std::uint64_t>(moved) * 65536 + static_cast<std::uint64_t>(walker.RemainderX()));
  EXPECT_GT(moved, 5000 * 6);
  // A single count at rest speed is never swallowed, whatever the parameter.
  for (std::int32_t parameter : {1, kOne, 0x7FFFFFFF}) {
    MotionAccelerator one;
    one.SetParameter(parameter);
    EXPECT_EQ(one.Apply(1, -1, 0).dx, 1);
    EXPECT_EQ(one.Apply(-1, 1, 200000).dy, 1);
  }
}

TEST(CurveProperties, ChangingDirectionDropsTheOppositeRemainder) {
  MotionAccelerator accelerator;
  accelerator.SetParameter(kOne);
  accelerator.Apply(0, 0, 0);
  EXPECT_EQ(accelerator.Apply(3, 4, 1000).dx, 4);  // keeps +0.5
  EXPECT_EQ(accelerator.RemainderX(), kOne / 2);
  EXPECT_EQ(accelerator.Apply(-1, 0, 101000).dx, -1);  // slow, opposite: no leftover pull
}

TEST(CurveProperties, ExtremeInputsAndParametersCannotOverflow) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  for (std::int32_t parameter : {kOne, 0x7FFFFFFF}) {
    MotionAccelerator accelerator;
    accelerator.SetParameter(parameter);
    for (std::int64_t time : {std::numeric_limits<std::int64_t>::min(), std::int64_t{0},
                              std::numeric_limits<std::int64_t>::max(), std::int64_t{-5}}) {
      for (auto [dx, dy] : {std::pair{kMax, kMax}, std::pair{kMin, kMin}, std::pair{kMin, kMax}, std::pair{1, kMin}}) {
        const Motion m = accelerator.Apply(dx, dy, time);
        EXPECT_GE(m.dx, -kMax);
        EXPECT_GE(m.dy, -kMax);
        EXPECT_EQ(m.dx > 0, dx > 0);
        EXPECT_EQ(m.dy > 0, dy > 0);
        EXPECT_LT(std::abs(accelerator.RemainderX()), kOne);
        EXPECT_LT(std::abs(accelerator.RemainderY()), kOne);
      }
    }
  }
}

}  // namespace
}  // namespace korvid
