// The 16-bit quantiser with its power-of-two step and the dead zone that
// zeroes small detail coefficients.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "quorvane/codec/options.h"

namespace quorvane::codec {

// 2^scale and 2^-scale, formed exactly from the exponent bits.
inline float quantizer_factor(std::uint8_t scale) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(127 + scale) << 23);
}
inline float quantizer_step(std::uint8_t scale) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(127 - scale) << 23);
}

// trunc(clamp(c * factor, -32768, 32767)). The upper bound is applied first
// and both bounds ignore NaN, so a NaN product ends as 32767.
inline std::int16_t quantize(float coefficient, float factor) {
  const float scaled = coefficient * factor;
  const float clamped = std::fmax(std::fmin(scaled, 32767.0f), -32768.0f);
  return static_cast<std::int16_t>(std::trunc(clamped));
}

// Dead-zone threshold in quantised units: floor((scale - 6) / 2) times 1, 3
// or 7 for the low, medium and high cut-off. Scales 6 and 7 zero nothing.
inline std::int32_t dead_zone_threshold(std::uint8_t scale, CutoffLevel cutoff) {
  const std::int32_t base = (static_cast<std::int32_t>(scale) - kMinScale) / 2;
  switch (cutoff) {
    case CutoffLevel::low:
      return base;
    case CutoffLevel::medium:
      return base * 3;
    case CutoffLevel::high:
      return base * 7;
  }
  return base;
}

// |q| < threshold becomes 0; the magnitude of -32768 counts as 32768.
inline std::int16_t apply_dead_zone(std::int16_t q, std::int32_t threshold) {
  const std::int32_t magnitude = q < 0 ? -static_cast<std::int32_t>(q) : q;
  return magnitude < threshold ? std::int16_t{0} : q;
}

}  // namespace quorvane::codec
