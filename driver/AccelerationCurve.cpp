#include "driver/AccelerationCurve.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvid {

double AccelerationCurve::Gain(double countsPerMs, std::int32_t parameter) {
  if (parameter <= 0 || !(countsPerMs > kThreshold)) return 1.0;  // also catches NaN speeds
  const double strength = static_cast<double>(parameter) / 65536.0;
  const double excess = std::min(countsPerMs - kThreshold, kRange);
  return 1.0 + strength * excess / kReference;
}

double AccelerationCurve::Speed(std::int32_t dx, std::int32_t dy, std::int64_t intervalUs) {
  const double interval = static_cast<double>(std::clamp(intervalUs, kMinIntervalUs, kMaxIntervalUs));
  const double length = std::hypot(static_cast<double>(dx), static_cast<double>(dy));
  return length * 1000.0 / interval;
}

std::int32_t MotionAccelerator::Scale(std::int32_t delta, double gain, double& remainder) {
  if (delta == 0) return 0;  // an axis at rest keeps its remainder for later
  if ((delta > 0 && remainder < 0.0) || (delta < 0 && remainder > 0.0)) remainder = 0.0;
  const double exact = static_cast<double>(delta) * gain + remainder;
  constexpr double kLimit = static_cast<double>(std::numeric_limits<std::int32_t>::max());
  if (exact >= kLimit || exact <= -kLimit) {
    remainder = 0.0;
    return exact > 0 ? std::numeric_limits<std::int32_t>::max() : -std::numeric_limits<std::int32_t>::max();
  }
  const double whole = std::trunc(exact);
  remainder = exact - whole;
  return static_cast<std::int32_t>(whole);
}

MotionAccelerator::Motion MotionAccelerator::Apply(std::int32_t dx, std::int32_t dy, std::int64_t timeUs) {
  std::int64_t interval = AccelerationCurve::kMaxIntervalUs;
  if (haveLastTime_ && __builtin_sub_overflow(timeUs, lastTimeUs_, &interval)) {
    interval = AccelerationCurve::kMaxIntervalUs;  // clocks that far apart mean a pause
  }
  haveLastTime_ = true;
  lastTimeUs_ = timeUs;
  if (parameter_ <= 0) return {dx, dy};  // linear: nothing to carry
  const double gain = AccelerationCurve::Gain(AccelerationCurve::Speed(dx, dy, interval), parameter_);
  return {Scale(dx, gain, remainderX_), Scale(dy, gain, remainderY_)};
}

}  // namespace korvid
