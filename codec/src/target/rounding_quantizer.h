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
  // min(floor(magnitude + 0.5), 32767), written with a comparison and a
  // truncation (which is the floor of a positive value below 2^31): without
  // -ffast-math, std::floor and std::fmin are library calls on every value.
  const float shifted = magnitude + 0.5f;
  const auto q = shifted >= kLargestUnits ? std::int16_t{32767}
                                           : static_cast<std::int16_t>(static_cast<std::int32_t>(shifted));
  return t < 0.0f ? static_cast<std::int16_t>(-q) : q;
}

}  // namespace quorvane::codec::target
