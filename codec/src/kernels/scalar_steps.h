// One sample of each kernel, written with comparisons and conversions the
// compiler turns into single instructions (no libm call per value). Shared
// by the portable variant and by the tails of the vector variants.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "quorvane/fused_multiply_add.h"

namespace quorvane::codec::kernels {

inline float sanitize_one(float x) {
  if (x != x) return 0.0f;  // NaN
  if (x == std::numeric_limits<float>::infinity()) return 1.0f;
  if (x == -std::numeric_limits<float>::infinity()) return 0.0f;
  return x;
}

// `scaled < 32767 ? scaled : 32767` keeps the bound for a NaN product, as
// fmin does; the product is no longer NaN for the lower bound. The
// conversion truncates toward zero.
inline std::int32_t quantize_one(float coefficient, float factor) {
  const float scaled = coefficient * factor;
  const float upper = scaled < 32767.0f ? scaled : 32767.0f;
  const float clamped = upper > -32768.0f ? upper : -32768.0f;
  return static_cast<std::int32_t>(clamped);
}

inline std::int32_t dead_zone_one(std::int32_t q, std::int32_t threshold) {
  const std::int32_t magnitude = q < 0 ? -q : q;
  return magnitude < threshold ? 0 : q;
}

inline void store_le16(std::int32_t q, std::uint8_t* out) {
  const auto bits = static_cast<std::uint16_t>(q);
  out[0] = static_cast<std::uint8_t>(bits & 0xFF);
  out[1] = static_cast<std::uint8_t>(bits >> 8);
}

inline float load_le16(const std::uint8_t* in) {
  const auto bits = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
  return static_cast<float>(static_cast<std::int16_t>(bits));
}

// A NaN result of the fused multiply-add ends as the largest float, as the
// clamp's minimum ignores NaN. `Fma` is how the caller's instruction set
// fuses (quorvane/fused_multiply_add.h).
template <class Fma>
inline float denormalize_one(float y, float mean, float range, float min) {
  constexpr float kLargest = std::numeric_limits<float>::max();
  const float out = Fma::apply(y + mean, range, min);
  const float upper = out < kLargest ? out : kLargest;
  return upper > -kLargest ? upper : -kLargest;
}

}  // namespace quorvane::codec::kernels
