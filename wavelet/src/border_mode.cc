#include "border_mode.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>

namespace quorvane::wavelet {
namespace {

// The compiler's 128-bit integers; __extension__ keeps -Wpedantic quiet.
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

constexpr std::uint8_t kShiftMask = 0x3F;
constexpr std::uint8_t kAddBackFlag = 0x40;
constexpr std::uint8_t kNegativeDivisorFlag = 0x80;

// High 64 bits of the signed 128-bit product.
std::int64_t multiply_high(std::int64_t a, std::int64_t b) {
  const Int128 product = static_cast<Int128>(a) * static_cast<Int128>(b);
  return static_cast<std::int64_t>(product >> 64);
}

// Euclidean remainder: i mod n in [0, n) for any sign of i (n > 0).
std::int64_t euclidean_mod(std::int64_t i, std::int64_t n) {
  const std::int64_t r = i % n;
  return r < 0 ? r + n : r;
}

// Mirror with the edge sample repeated: ... b a|a b c d|d c ... The pattern
// has period 2n; folding makes it valid for every i, not only -n < i < 2n.
std::int64_t reflect_index(std::int64_t i, std::int64_t n) {
  const std::int64_t m = euclidean_mod(i, 2 * n);
  return m < n ? m : 2 * n - 1 - m;
}

// Mirror about the edge sample: ... c b|a b c d|c b ... (period 2n - 2).
std::int64_t reflect101_index(std::int64_t i, std::int64_t n) {
  if (n == 1) return 0;
  const std::int64_t m = euclidean_mod(i, 2 * n - 2);
  return m < n ? m : 2 * n - 2 - m;
}

}  // namespace

SignedDivider SignedDivider::make(std::int64_t divisor) {
  assert(divisor != 0);
  if (divisor == 0) return trivial();

  SignedDivider result;
  result.divisor = divisor;
  const std::uint64_t d = divisor < 0 ? 0 - static_cast<std::uint64_t>(divisor)
                                      : static_cast<std::uint64_t>(divisor);
  result.abs_divisor = d;
  const auto s = static_cast<std::uint8_t>(std::bit_width(d) - 1);  // floor(log2 d)

  if (std::has_single_bit(d)) {
    // Pure shift, with rounding towards zero fixed up in divide().
    result.multiplier = 0;
    result.control = s;
  } else {
    // q = floor(2^(63+s) / d); d > 2^s keeps q below 2^64.
    const UInt128 dividend = static_cast<UInt128>(1) << (63 + s);
    std::uint64_t q = static_cast<std::uint64_t>(dividend / d);
    const std::uint64_t r = static_cast<std::uint64_t>(dividend % d);
    if (d - r < (std::uint64_t{1} << s)) {
      // 2^(63+s-1) is already precise enough: q + 1 fits in 63 bits.
      q += 1;
      result.control = static_cast<std::uint8_t>(s - 1);
    } else {
      // One more bit of precision; the multiplier overflows into the sign bit,
      // which divide() repairs by adding the numerator back.
      const std::uint64_t twice_r = r + r;
      q = q + q + 1 + ((twice_r >= d || twice_r < r) ? 1 : 0);
      result.control = static_cast<std::uint8_t>(s | kAddBackFlag);
    }
    result.multiplier = static_cast<std::int64_t>(q);
  }

  if (divisor < 0) {
    result.control |= kNegativeDivisorFlag;
    result.multiplier = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(result.multiplier));
  }
  return result;
}

std::int64_t SignedDivider::divide(std::int64_t numerator) const {
  const std::uint8_t shift = control & kShiftMask;
  // All ones for a negative divisor, zero otherwise.
  const std::int64_t sign = (control & kNegativeDivisorFlag) != 0 ? -1 : 0;

  if (multiplier == 0) {
    // Power of two: bias negative numerators so the shift truncates towards
    // zero, then apply the divisor's sign.
    const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    const std::uint64_t biased =
        static_cast<std::uint64_t>(numerator) + (static_cast<std::uint64_t>(numerator >> 63) & mask);
    const std::int64_t q = static_cast<std::int64_t>(biased) >> shift;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(q ^ sign)) -
                                     static_cast<std::uint64_t>(sign));
  }

  std::uint64_t uq = static_cast<std::uint64_t>(multiply_high(multiplier, numerator));
  if ((control & kAddBackFlag) != 0) {
    // numerator, or -numerator for a negative divisor, in wrapping arithmetic.
    uq += (static_cast<std::uint64_t>(numerator) ^ static_cast<std::uint64_t>(sign)) -
          static_cast<std::uint64_t>(sign);
  }
  std::int64_t q = static_cast<std::int64_t>(uq) >> shift;
  // The estimate is floor-like for negative quotients: one step towards zero.
  q += q < 0 ? 1 : 0;
  return q;
}

float border_value(std::span<const float> x, std::int64_t i, BorderMode mode) {
  const auto n = static_cast<std::int64_t>(x.size());
  if (n == 0) return 0.0f;
  if (i >= 0 && i < n) return x[static_cast<std::size_t>(i)];
  switch (mode) {
    case BorderMode::Clamp:
      return i < 0 ? x.front() : x.back();
    case BorderMode::Wrap:
      return x[static_cast<std::size_t>(euclidean_mod(i, n))];
    case BorderMode::Reflect:
      return x[static_cast<std::size_t>(reflect_index(i, n))];
    case BorderMode::Reflect101:
      return x[static_cast<std::size_t>(reflect101_index(i, n))];
    case BorderMode::Zeros:
      return 0.0f;
  }
  // Values above 4.
  return 0.0f;
}

BorderInterpolation BorderInterpolation::make(BorderMode mode, std::int64_t start,
                                              std::int64_t length) {
  BorderInterpolation result;
  result.mode_ = mode;
  result.start_ = start;
  result.length_ = length;
  const bool needs_divider =
      mode == BorderMode::Wrap || mode == BorderMode::Reflect || mode == BorderMode::Reflect101;
  result.divider_ = needs_divider && length != 0 ? SignedDivider::make(length)
                                                 : SignedDivider::trivial();
  return result;
}

float BorderInterpolation::value(std::span<const float> x, std::int64_t i) const {
  const std::int64_t n = length_;
  assert(static_cast<std::int64_t>(x.size()) >= n);
  if (n <= 0) return 0.0f;
  if (i >= 0 && i < n) return x[static_cast<std::size_t>(i)];

  switch (mode_) {
    case BorderMode::Clamp:
      return x[static_cast<std::size_t>(std::clamp(i, std::min(start_, n - 1), n - 1))];
    case BorderMode::Wrap: {
      // Truncated remainder, moved into [0, n) when negative.
      std::int64_t r = i - n * divider_.divide(i);
      if (r < 0) r += n;
      return x[static_cast<std::size_t>(r)];
    }
    case BorderMode::Reflect:
    case BorderMode::Reflect101: {
      // Reflect101 deliberately takes the Reflect rule here: the fixed-tap
      // filter banks have always produced these values, and their output is
      // kept stable. Period 2n: even periods run forwards, odd backwards.
      std::int64_t period = divider_.divide(i);
      std::int64_t r = i - n * period;
      if (r < 0) {
        r += n;
        period -= 1;
      }
      const std::int64_t index = (period & 1) == 0 ? r : n - 1 - r;
      return x[static_cast<std::size_t>(index)];
    }
    case BorderMode::Zeros:
      return 0.0f;
  }
  // Values above 4.
  return 0.0f;
}

}  // namespace quorvane::wavelet
