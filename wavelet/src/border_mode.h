// Border values of the forward filter-bank steps, and BorderInterpolation,
// the per-call object the fixed-tap executors fetch border samples through.
#pragma once

#include <cstdint>
#include <span>

#include "quorvane/wavelet/border_mode.h"

namespace quorvane::wavelet {

// Truncating signed 64-bit division by an invariant divisor
// (Granlund-Montgomery): a multiply-high, a shift and a correction.
struct SignedDivider {
  std::int64_t multiplier = 0;
  std::int64_t divisor = 1;
  std::uint64_t abs_divisor = 1;
  // Bits 0-5: shift; bit 6: add-back form; bit 7: negative divisor.
  std::uint8_t control = 0;

  static SignedDivider make(std::int64_t divisor);
  static SignedDivider trivial() { return {}; }
  // trunc(numerator / divisor)
  std::int64_t divide(std::int64_t numerator) const;
};

// The value x~(i) that `mode` supplies at index i of a signal x of n samples,
// with all five rules as listed (Reflect101 included); x[i] inside [0, n).
// Valid for -n < i < 2n. Values of mode above 4 act as Zeros.
float border_value(std::span<const float> x, std::int64_t i, BorderMode mode);

// Border fetches of the 4- to 16-tap executors. These compute Reflect101
// with the Reflect rule.
class BorderInterpolation {
 public:
  // Start is the lowest valid index (the lower bound of Clamp); the executors
  // pass start 0 and length n.
  static BorderInterpolation make(BorderMode mode, std::int64_t start, std::int64_t length);

  // x[i] inside the signal, the border value outside it.
  float value(std::span<const float> x, std::int64_t i) const;

  const SignedDivider& divider() const { return divider_; }
  std::int64_t start() const { return start_; }
  std::int64_t length() const { return length_; }
  BorderMode mode() const { return mode_; }

 private:
  SignedDivider divider_;
  std::int64_t start_ = 0;
  std::int64_t length_ = 0;
  BorderMode mode_ = BorderMode::Zeros;
};

}  // namespace quorvane::wavelet
