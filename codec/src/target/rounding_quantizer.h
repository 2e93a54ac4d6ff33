// The target encoder's quantiser: round to the nearest step, with a dead zone
// for detail coefficients. Values are in quantiser units (coefficient / step).
#pragma once

#include <cmath>
#include <cstdint>

namespace quorvane::codec::target {

// The largest magnitude an int16 coefficient holds on both sides; keeping the
// clamp symmetric makes the error of a clamped value independent of its sign.
inline constexpr float kLargestUnits = 32767.0f;

// |t| below dead_zone becomes 0; everything else rounds half away from zero
// and clamps at 32767. NaN becomes 0.
inline std::int16_t quantize_rounded(float t, float dead_zone) {
  const float magnitude = std::fabs(t);
  if (!(magnitude >= dead_zone)) return 0;
  const float rounded = std::fmin(std::floor(magnitude + 0.5f), kLargestUnits);
  const auto q = static_cast<std::int16_t>(rounded);
  return t < 0.0f ? static_cast<std::int16_t>(-q) : q;
}

}  // namespace quorvane::codec::target
