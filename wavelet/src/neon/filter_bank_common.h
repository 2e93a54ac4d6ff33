// Pieces shared by every convolution filter bank: the size rules, the checks
// that run before anything is written, the per-output lane arithmetic and the
// synthesis step.
//
// Geometry of one analysis step with L taps on n >= L samples: M = (n+L-1)/2
// outputs per branch; output k reads the window x~[2k-(L-2)] ... x~[2k+1] and
// tap j meets window sample j. Outputs k < L/2-1 reach left of sample 0,
// outputs k >= n/2 reach right of sample n-1, the rest read the input as is.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/error.h"
#include "quorvane/wavelet/records.h"
#include "cpu_features.h"

// Kernel pieces are forced inline so that they take the target of the
// variant that calls them.
#define QUORVANE_KERNEL_INLINE [[gnu::always_inline]] inline
#define QUORVANE_KERNEL_LAMBDA __attribute__((always_inline))

namespace quorvane::wavelet::filter_bank {

using wavelet::use_fma_instructions;

// Coefficients per branch of one analysis step.
constexpr std::size_t outputs_per_branch(std::size_t n, std::size_t taps) {
  return (n + taps - 1) / 2;
}

// 2A - L + 2 samples come back from A coefficient pairs. Fewer than L/2 - 1
// pairs cover no sample at all; the length saturates at zero instead of
// wrapping around.
constexpr std::size_t reconstruction_length(std::size_t pairs, std::size_t taps) {
  return 2 * pairs + 2 >= taps ? 2 * pairs + 2 - taps : 0;
}

// Taps are kept in whole four-lane vectors; pad slots hold zero.
constexpr std::size_t padded_tap_count(std::size_t taps) { return (taps + 3) / 4 * 4; }

// The forward checks, in their fixed order.
inline WaveletStatus check_forward_sizes(std::size_t n, std::size_t taps,
                                         std::size_t approximations_length,
                                         std::size_t details_length) {
  if (n < taps) return Err{WaveletError::input_too_short(n, taps)};
  if (approximations_length != outputs_per_branch(n, taps)) {
    return Err{WaveletError::unexpected_decomposition_size(approximations_length)};
  }
  if (details_length != approximations_length) {
    return Err{WaveletError::unexpected_decomposition_size(details_length)};
  }
  return {};
}

// The inverse checks, in their fixed order.
inline WaveletStatus check_inverse_sizes(std::size_t approximations_length,
                                         std::size_t details_length, std::size_t output_length,
                                         std::size_t taps) {
  if (approximations_length != details_length) {
    return Err{WaveletError::approx_details_mismatch(approximations_length, details_length)};
  }
  const std::size_t expected = reconstruction_length(approximations_length, taps);
  if (output_length != expected) {
    return Err{WaveletError::output_size_mismatch(output_length, expected)};
  }
  return {};
}

// high[j] = (-1)^j * low[L-1-j]; negation flips the sign bit only.
inline void mirror_low_pass(std::span<const float> low_pass, std::span<float> high_pass) {
  const std::size_t taps = low_pass.size();
  for (std::size_t j = 0; j < taps; ++j) {
    const float tap = low_pass[taps - 1 - j];
    high_pass[j] = (j % 2 == 0) ? tap : -tap;
  }
}

// The four lane values of one output: lane j starts with c[j] * w[j] and
// adds the taps j+4, j+8, ... below `taps` with one fused multiply-add each,
// in increasing tap order. Pad taps are skipped, so they cannot turn an
// infinite neighbour into NaN or flip the sign of a zero lane.
template <std::size_t kTaps>
QUORVANE_KERNEL_INLINE std::array<float, 4> lane_values(const float* c, const float* w) {
  static_assert(kTaps >= 4);
  std::array<float, 4> p;
  for (std::size_t j = 0; j < 4; ++j) {
    float lane = c[j] * w[j];
    for (std::size_t t = j + 4; t < kTaps; t += 4) lane = std::fma(c[t], w[t], lane);
    p[j] = lane;
  }
  return p;
}

// Run-time tap count, for the general executor.
QUORVANE_KERNEL_INLINE std::array<float, 4> lane_values(const float* c, const float* w,
                                                        std::size_t taps) {
  std::array<float, 4> p;
  for (std::size_t j = 0; j < 4; ++j) {
    float lane = c[j] * w[j];
    for (std::size_t t = j + 4; t < taps; t += 4) lane = std::fma(c[t], w[t], lane);
    p[j] = lane;
  }
  return p;
}

// The horizontal sum of an output computed on its own.
QUORVANE_KERNEL_INLINE float single_sum(const std::array<float, 4>& p) { return (p[0] + p[2]) + (p[1] + p[3]); }

// The horizontal sum of an output computed in a pair or a group of four.
QUORVANE_KERNEL_INLINE float grouped_sum(const std::array<float, 4>& p) { return (p[0] + p[1]) + (p[2] + p[3]); }

// Whether output k adds its approximation term before its detail term.
enum class TermOrder : std::uint8_t {
  // Details first for every k.
  DetailsFirst,
  // The 8-tap arrangement: with at least 16 output samples, approximations
  // first for 6 <= k <= A-5 and details first elsewhere; details first for
  // shorter outputs.
  EightTap,
};

QUORVANE_KERNEL_INLINE bool approximations_first(TermOrder order, std::size_t k, std::size_t pairs,
                                 std::size_t output_length) {
  if (order != TermOrder::EightTap || output_length < 16) return false;
  return k >= 6 && k + 5 <= pairs;
}

// The synthesis step, the transpose of the analysis step: in increasing k,
// coefficient pair k adds lp[j]*a[k] and hp[j]*d[k] to output[2k-(L-2)+j] for
// every j that lands inside the output, each as one fused multiply-add into
// the running value. Sizes must have been checked.
QUORVANE_KERNEL_INLINE void synthesis_kernel(std::span<const float> low_pass,
                                             std::span<const float> high_pass,
                                             std::span<const float> approximations,
                                             std::span<const float> details,
                                             std::span<float> output, TermOrder order) {
  const std::size_t taps = low_pass.size();
  const std::size_t pairs = approximations.size();
  const std::size_t length = output.size();
  const std::size_t lead = taps - 2;
  for (std::size_t k = 0; k < pairs; ++k) {
    const float a = approximations[k];
    const float d = details[k];
    const bool approx_first = approximations_first(order, k, pairs, length);
    // Taps j_begin ... j_end - 1 land on output positions 2k - lead + j.
    const std::size_t j_begin = 2 * k >= lead ? 0 : lead - 2 * k;
    const std::size_t j_end = std::min(taps, length + lead - 2 * k);
    float* y = output.data() + (2 * k + j_begin - lead);  // position of tap j_begin
    if (approx_first) {
      for (std::size_t j = j_begin; j < j_end; ++j, ++y) {
        *y = std::fma(high_pass[j], d, std::fma(low_pass[j], a, *y));
      }
    } else {
      for (std::size_t j = j_begin; j < j_end; ++j, ++y) {
        *y = std::fma(low_pass[j], a, std::fma(high_pass[j], d, *y));
      }
    }
  }
}

inline void synthesis_portable(std::span<const float> low_pass, std::span<const float> high_pass,
                               std::span<const float> approximations,
                               std::span<const float> details, std::span<float> output,
                               TermOrder order) {
  synthesis_kernel(low_pass, high_pass, approximations, details, output, order);
}

#if QUORVANE_X86_VARIANTS
QUORVANE_FMA_TARGET inline void synthesis_fma(std::span<const float> low_pass,
                                              std::span<const float> high_pass,
                                              std::span<const float> approximations,
                                              std::span<const float> details,
                                              std::span<float> output, TermOrder order) {
  synthesis_kernel(low_pass, high_pass, approximations, details, output, order);
}
#endif

inline void accumulate_synthesis(std::span<const float> low_pass, std::span<const float> high_pass,
                                 std::span<const float> approximations,
                                 std::span<const float> details, std::span<float> output,
                                 TermOrder order) {
#if QUORVANE_X86_VARIANTS
  if (use_fma_instructions()) {
    synthesis_fma(low_pass, high_pass, approximations, details, output, order);
    return;
  }
#endif
  synthesis_portable(low_pass, high_pass, approximations, details, output, order);
}

}  // namespace quorvane::wavelet::filter_bank
