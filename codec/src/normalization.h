// Sanitising and min-max normalisation of the input signal.
#pragma once

#include <span>

#include "uninitialized_vector.h"

namespace quorvane::codec {

struct NormalizedSignal {
  UninitializedVector<float> values;  // (x - min) / range - mean, or zeros for a flat signal
  float min;
  float max;
  float mean;
};

// Signals whose range is at most this (bits 0x3727C5AC, about 1e-5) are
// treated as flat: all values become zero.
inline constexpr float kFlatRange = 9.99999975e-6f;

// NaN becomes 0, +inf 1 and -inf 0; then min, max and the normalised values.
// min and max are the first sanitised values in index order that compare
// equal to the extremes (this settles the sign of a zero extreme). The mean
// is a strictly sequential single-precision sum in index order divided by n:
// streams depend on these exact values.
NormalizedSignal normalize(std::span<const float> samples);

}  // namespace quorvane::codec
