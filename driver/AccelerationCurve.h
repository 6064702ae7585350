// SPDX-License-Identifier: MIT
// The pointer-acceleration curve of the Tessel's pointing service: the C++ face of the
// integer curve in driver/kernel/korvid_tessel_curve.h, which the kernel module
// hid-korvid-tessel applies bit for bit the same way (the formulas are described there).
// Speeds and gains are unsigned 16.16 fixed point, the parameter is the signed 16.16
// "HIDMouseAcceleration" value.
#pragma once

#include <cstdint>

#include "driver/kernel/korvid_tessel_curve.h"

namespace korvid {

class AccelerationCurve {
 public:
  static constexpr std::int32_t kOne = KORVID_CURVE_ONE;
  static constexpr std::int64_t kMinIntervalUs = KORVID_CURVE_MIN_INTERVAL_US;
  static constexpr std::int64_t kMaxIntervalUs = KORVID_CURVE_MAX_INTERVAL_US;
  static constexpr std::uint32_t kTopSpeed = KORVID_CURVE_TOP * KORVID_CURVE_ONE;

  // Gain (16.16) at speed `speed` (16.16 counts per ms) for parameter `parameter`.
  static std::uint64_t Gain(std::uint32_t speed, std::int32_t parameter) { return korvid_curve_gain(speed, parameter); }
  // Speed (16.16 counts per ms, at most kTopSpeed) of one report of (dx, dy) that came
  // `intervalUs` after the previous one.
  static std::uint32_t Speed(std::int32_t dx, std::int32_t dy, std::int64_t intervalUs) {
    return korvid_curve_speed(dx, dy, intervalUs);
  }
};

// One mouse's acceleration state: the parameter, the time of the last motion report and
// each axis's remainder.
class MotionAccelerator {
 public:
  struct Motion {
    std::int32_t dx = 0;
    std::int32_t dy = 0;
  };

  void SetParameter(std::int32_t parameter) { state_.parameter = parameter; }
  std::int32_t Parameter() const { return state_.parameter; }

  // Accelerates one motion report of (dx, dy) that happened at `timeUs`.
  Motion Apply(std::int32_t dx, std::int32_t dy, std::int64_t timeUs) {
    korvid_curve_apply(&state_, &dx, &dy, timeUs);
    return {dx, dy};
  }

  // Each axis's carried fraction, 16.16.
  std::int32_t RemainderX() const { return state_.remainder_x; }
  std::int32_t RemainderY() const { return state_.remainder_y; }

 private:
  korvid_curve state_{};
};

}  // namespace korvid
