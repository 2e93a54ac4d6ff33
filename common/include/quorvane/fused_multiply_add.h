// Single-precision fused multiply-add for code compiled without FMA
// instructions. There std::fma is a call of the C library's fmaf, an
// emulation that costs hundreds of cycles per value; the kernels that run on
// such targets use fma_through_double instead, which gives the same bits
// with a handful of double-precision operations.
//
// The product of two floats is exact in double (24 + 24 significant bits,
// exponents far inside double's range), so only the sum with c rounds. That
// sum is rounded to odd at double precision (53 bits) and then to nearest at
// float precision (24 bits): a value rounded to odd keeps in its last bit
// whether anything was discarded, so the second rounding never meets a false
// tie and the result is the exactly rounded one. Subnormal float results
// round at a coarser position still, so they are single roundings too, and
// the double sum itself is never subnormal (every nonzero exact sum is a
// multiple of 2^-298).
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvane {

// Both roundings rely on the IEEE formats and on every double operation
// rounding to double (no wider evaluation).
inline constexpr bool kFmaThroughDoubleIsExact = std::numeric_limits<float>::is_iec559 &&
                                                 std::numeric_limits<double>::is_iec559 &&
                                                 FLT_EVAL_METHOD == 0;

[[gnu::always_inline]] inline float fma_through_double(float a, float b, float c) {
  if constexpr (!kFmaThroughDoubleIsExact) {
    return std::fma(a, b, c);
  } else {
    const double product = static_cast<double>(a) * static_cast<double>(b);
    const double addend = c;
    const double sum = product + addend;
    // TwoSum: what rounding the sum discarded, exactly. NaN when the sum is
    // infinite or NaN, and then the sum is already the answer.
    const double addend_part = sum - product;
    const double discarded = (product - (sum - addend_part)) + (addend - addend_part);
    // Round to odd: of the two doubles around the exact sum, the one with an
    // odd last bit. The exact sum lies below |sum| when the discarded part
    // has the other sign; an even sum then steps one unit down. Written
    // without branches: whether a sum is exact follows the data, and
    // mispredicted branches cost more than the arithmetic.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(sum);
    const std::uint64_t inexact =
        static_cast<std::uint64_t>(discarded < 0.0) | static_cast<std::uint64_t>(discarded > 0.0);
    const std::uint64_t exact_below =
        ((std::bit_cast<std::uint64_t>(discarded) ^ bits) >> 63) & inexact;
    return static_cast<float>(std::bit_cast<double>((bits - exact_below) | inexact));
  }
}

// How a kernel fuses a product and a sum, chosen by the instruction set it is
// compiled for. Kernels take one of these as a template parameter; the
// function call is forced inline so that std::fma becomes an instruction in
// the caller's instruction set (a [[gnu::target("fma")]] kernel, NEON).
struct FmaInstruction {
  [[gnu::always_inline]] static float apply(float a, float b, float c) {
    return std::fma(a, b, c);
  }
};

struct FmaThroughDouble {
  [[gnu::always_inline]] static float apply(float a, float b, float c) {
    return fma_through_double(a, b, c);
  }
};

// For code compiled for the target's baseline: the compiler says whether
// fmaf is an instruction there (x86-64 with -mfma, AArch64, POWER, ...).
#if defined(__FP_FAST_FMAF) || defined(FP_FAST_FMAF) || defined(__FMA__) || defined(__aarch64__)
using BaselineFma = FmaInstruction;
#else
using BaselineFma = FmaThroughDouble;
#endif

}  // namespace quorvane
