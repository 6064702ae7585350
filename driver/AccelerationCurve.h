// The pointer-acceleration curve of the Tessel's pointing service.
//
// The parameter p is the "HIDMouseAcceleration" value, signed 16.16 fixed point; the
// strength is a = max(p, 0) / 65536, so 0 (and anything negative) means linear motion.
// The speed v of one motion report is its length over the time since the previous report,
// in counts per millisecond:
//
//     v = sqrt(dx² + dy²) / clamp(dt, kMinInterval, kMaxInterval)
//
// The gain multiplies both axes of the report:
//
//     gain(v, a) = 1 + a · clamp(v − kThreshold, 0, kRange) / kReference
//
// Below kThreshold counts/ms the pointer moves one-to-one, whatever a is, so precise slow
// work is untouched; above it the gain rises linearly with speed until the speed reaches
// kThreshold + kRange, where it stays at its maximum 1 + a · kRange / kReference. The
// gain is continuous in v and in a, never decreases as either grows, and never falls
// below 1.
//
// Each axis keeps the fraction that the previous reports could not move (|r| < 1), and
// adds it before truncating toward zero:
//
//     out = trunc(d · gain + r),   r ← d · gain + r − out
//
// so sub-count motion adds up instead of being lost. A remainder whose sign differs from
// the new motion is dropped first (a change of direction starts clean). Mirroring the
// motion mirrors the output exactly. Outputs are clamped to the 32-bit range (the
// remainder then resets), so no input and no parameter can overflow.
#pragma once

#include <cstdint>

namespace korvid {

class AccelerationCurve {
 public:
  static constexpr double kThreshold = 1.0;  // counts per ms moved one-to-one
  static constexpr double kReference = 8.0;  // counts per ms that add a to the gain
  static constexpr double kRange = 24.0;     // speeds above kThreshold + kRange add nothing
  static constexpr std::int64_t kMinIntervalUs = 125;     // fastest report rate: 8000 Hz
  static constexpr std::int64_t kMaxIntervalUs = 100000;  // a pause longer than this is a pause

  // Gain at speed `countsPerMs` for parameter `parameter` (16.16).
  static double Gain(double countsPerMs, std::int32_t parameter);
  // Speed of one report of (dx, dy) that came `intervalUs` after the previous one.
  static double Speed(std::int32_t dx, std::int32_t dy, std::int64_t intervalUs);
};

// One mouse's acceleration state: the parameter, the time of the last motion report and
// each axis's remainder.
class MotionAccelerator {
 public:
  struct Motion {
    std::int32_t dx = 0;
    std::int32_t dy = 0;
  };

  void SetParameter(std::int32_t parameter) { parameter_ = parameter; }
  std::int32_t Parameter() const { return parameter_; }

  // Accelerates one motion report of (dx, dy) that happened at `timeUs`.
  Motion Apply(std::int32_t dx, std::int32_t dy, std::int64_t timeUs);

  double RemainderX() const { return remainderX_; }
  double RemainderY() const { return remainderY_; }

 private:
  static std::int32_t Scale(std::int32_t delta, double gain, double& remainder);

  std::int32_t parameter_ = 0;
  bool haveLastTime_ = false;
  std::int64_t lastTimeUs_ = 0;
  double remainderX_ = 0.0;
  double remainderY_ = 0.0;
};

}  // namespace korvid
