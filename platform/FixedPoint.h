// SPDX-License-Identifier: MIT
// The acceleration on the wire: signed 32-bit fixed point with 16 fractional bits.
#pragma once

#include <cmath>
#include <cstdint>

namespace korvid {

// value × 65536 computed in single precision and truncated toward zero, saturating at
// 0x7FFFFFFF (and at the lowest value below); NaN gives 0. The settings pane sends this
// value and the helper converts its stored setting the same way.
inline std::int32_t AccelerationToFixed(float acceleration) {
  const float product = acceleration * 65536.0f;
  if (std::isnan(product)) return 0;
  if (product >= 2147483648.0f) return INT32_MAX;
  if (product <= -2147483648.0f) return INT32_MIN;
  return static_cast<std::int32_t>(product);
}

}  // namespace korvid
