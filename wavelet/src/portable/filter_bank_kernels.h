// The convolution filter banks' arithmetic in plain C++: the definition of
// every coefficient they produce. The x86 variants compile these same
// functions for FMA instructions; the NEON variant supplies its own lanes
// (neon/filter_bank_neon.cc) to the same forward kernel.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "border_mode.h"
#include "filter_bank_common.h"
#include "kernel_variant.h"
#include "quorvane/fused_multiply_add.h"

namespace quorvane::wavelet::filter_bank {

// The four lane values of one output: lane j starts with c[j] * w[j] and
// adds the taps j+4, j+8, ... below `taps` with one fused multiply-add each,
// in increasing tap order. Pad taps are skipped, so they cannot turn an
// infinite neighbour into NaN or flip the sign of a zero lane. `Fma` fuses as
// the calling variant's instruction set does (see lifting_kernels.h).
template <class Fma>
QUORVANE_KERNEL_INLINE std::array<float, 4> lane_values(const float* c, const float* w,
                                                        std::size_t taps) {
  std::array<float, 4> p;
  for (std::size_t j = 0; j < 4; ++j) {
    float lane = c[j] * w[j];
    for (std::size_t t = j + 4; t < taps; t += 4) lane = Fma::apply(c[t], w[t], lane);
    p[j] = lane;
  }
  return p;
}

// Which of the two trees below sums an output is part of its rounding: the
// 8-tap member's single and paired outputs differ in the last bit, and stored
// db4 and sym4 streams decode bit-exactly only while each output keeps its
// tree. The horizontal sum of an output computed on its own:
QUORVANE_KERNEL_INLINE float single_sum(const std::array<float, 4>& p) {
  return (p[0] + p[2]) + (p[1] + p[3]);
}

// The horizontal sum of an output computed in a pair or a group of four.
QUORVANE_KERNEL_INLINE float grouped_sum(const std::array<float, 4>& p) {
  return (p[0] + p[1]) + (p[2] + p[3]);
}

// Both branches of one output whose window starts at `w`.
template <std::size_t kTaps, class Fma = FmaInstruction>
struct PortableLanes {
  QUORVANE_KERNEL_INLINE static void single(const float* lp, const float* hp, const float* w,
                                            float& a, float& d) {
    a = single_sum(lane_values<Fma>(lp, w, kTaps));
    d = single_sum(lane_values<Fma>(hp, w, kTaps));
  }
  QUORVANE_KERNEL_INLINE static void grouped(const float* lp, const float* hp, const float* w,
                                             float& a, float& d) {
    a = grouped_sum(lane_values<Fma>(lp, w, kTaps));
    d = grouped_sum(lane_values<Fma>(hp, w, kTaps));
  }
};

// Interior outputs computed together: fours up to 6 taps, pairs beyond.
constexpr std::size_t group_size(std::size_t taps) { return taps <= 6 ? 4 : 2; }

// The 4-tap member ends its groups one interior output early, so that output
// takes the single-output sum order with the right border. Which outputs are
// grouped decides their rounding, and stored coefficients depend on it.
constexpr std::size_t grouped_range_shortening(std::size_t taps) { return taps == 4 ? 1 : 0; }

// A border output gathers its window through the border rule and is always
// computed singly; pad slots of the window stay zero.
template <std::size_t kTaps, class Lanes>
QUORVANE_KERNEL_INLINE void border_output(const float* lp, const float* hp, BorderMode mode,
                                          std::span<const float> input, std::size_t k, float& a,
                                          float& d) {
  std::array<float, padded_tap_count(kTaps)> window{};
  const std::int64_t origin = 2 * static_cast<std::int64_t>(k) - static_cast<std::int64_t>(kTaps - 2);
  for (std::size_t j = 0; j < kTaps; ++j) {
    window[j] = border_value(input, origin + static_cast<std::int64_t>(j), mode,
                             Reflect101Rule::AsReflect);
  }
  Lanes::single(lp, hp, window.data(), a, d);
}

// One analysis step of an L-tap member (4 to 16 taps); sizes must have been
// checked. `lp` and `hp` point at the stored taps (padded to whole vectors).
template <std::size_t kTaps, class Lanes>
QUORVANE_KERNEL_INLINE void fixed_taps_forward_kernel(const float* lp, const float* hp,
                                                      BorderMode mode,
                                                      std::span<const float> input,
                                                      std::span<float> approximations,
                                                      std::span<float> details) {
  const std::size_t n = input.size();
  const std::size_t outputs = approximations.size();
  const std::size_t half = n / 2;
  // The first output whose window starts at or after sample 0.
  constexpr std::size_t kFirstInterior = kTaps / 2 - 1;
  constexpr std::size_t kLead = kTaps - 2;
  constexpr std::size_t kGroup = group_size(kTaps);

  for (std::size_t k = 0; k < kFirstInterior; ++k) {
    border_output<kTaps, Lanes>(lp, hp, mode, input, k, approximations[k], details[k]);
  }

  // Interior windows are read straight from the input. Whole groups from the
  // first interior output on share the grouped tree; what is left over after
  // the last whole group is computed singly.
  const std::size_t grouped_end = half - grouped_range_shortening(kTaps);
  std::size_t k = kFirstInterior;
  for (; k + kGroup <= grouped_end; k += kGroup) {
    for (std::size_t g = 0; g < kGroup; ++g) {
      Lanes::grouped(lp, hp, input.data() + 2 * (k + g) - kLead, approximations[k + g],
                     details[k + g]);
    }
  }
  for (; k < half; ++k) {
    Lanes::single(lp, hp, input.data() + 2 * k - kLead, approximations[k], details[k]);
  }

  for (k = half; k < outputs; ++k) {
    border_output<kTaps, Lanes>(lp, hp, mode, input, k, approximations[k], details[k]);
  }
}

template <std::size_t kTaps>
void fixed_taps_forward_portable(const float* lp, const float* hp, BorderMode mode,
                                 std::span<const float> input, std::span<float> approximations,
                                 std::span<float> details) {
  fixed_taps_forward_kernel<kTaps, PortableLanes<kTaps, BaselineFma>>(lp, hp, mode, input,
                                                                      approximations, details);
}

// Both branches of every output of the general member from its filled arena,
// output k reading the window that starts at arena[2k]. Every output uses the
// grouped tree.
template <class Fma = FmaInstruction>
QUORVANE_KERNEL_INLINE void convolve_arena_kernel(const float* low_pass, const float* high_pass,
                                                  std::size_t taps, const float* arena,
                                                  std::span<float> approximations,
                                                  std::span<float> details) {
  for (std::size_t k = 0; k < approximations.size(); ++k) {
    const float* window = arena + 2 * k;
    approximations[k] = grouped_sum(lane_values<Fma>(low_pass, window, taps));
    details[k] = grouped_sum(lane_values<Fma>(high_pass, window, taps));
  }
}

inline void convolve_arena_portable(const float* low_pass, const float* high_pass,
                                    std::size_t taps, const float* arena,
                                    std::span<float> approximations, std::span<float> details) {
  convolve_arena_kernel<BaselineFma>(low_pass, high_pass, taps, arena, approximations, details);
}

// Whether output k adds its approximation term before its detail term.
enum class TermOrder : std::uint8_t {
  // Details first for every k.
  DetailsFirst,
  // The 8-tap member's order, which stored db4 and sym4 reconstructions
  // depend on: with at least 16 output samples, approximations first for
  // 6 <= k <= A-5 and details first elsewhere; details first for shorter
  // outputs.
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
template <class Fma = FmaInstruction>
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
    // Taps j_begin ... j_end - 1 land on output positions 2k - lead + j.
    const std::size_t j_begin = 2 * k >= lead ? 0 : lead - 2 * k;
    const std::size_t j_end = std::min(taps, length + lead - 2 * k);
    float* y = output.data() + (2 * k + j_begin - lead);  // position of tap j_begin
    if (approximations_first(order, k, pairs, length)) {
      for (std::size_t j = j_begin; j < j_end; ++j, ++y) {
        *y = Fma::apply(high_pass[j], d, Fma::apply(low_pass[j], a, *y));
      }
    } else {
      for (std::size_t j = j_begin; j < j_end; ++j, ++y) {
        *y = Fma::apply(low_pass[j], a, Fma::apply(high_pass[j], d, *y));
      }
    }
  }
}

inline void synthesis_portable(std::span<const float> low_pass, std::span<const float> high_pass,
                               std::span<const float> approximations,
                               std::span<const float> details, std::span<float> output,
                               TermOrder order) {
  synthesis_kernel<BaselineFma>(low_pass, high_pass, approximations, details, output, order);
}

}  // namespace quorvane::wavelet::filter_bank
