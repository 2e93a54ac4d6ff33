// Member definitions of FixedTapsFilterBank. Included only by the member
// .cc files, each of which instantiates its own tap count once.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "border_mode.h"
#include "neon/filter_bank_common.h"
#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

template <std::size_t kTaps>
FixedTapsFilterBank<kTaps>::FixedTapsFilterBank(BorderMode border_mode,
                                                std::span<const float> low_pass)
    : border_mode_(static_cast<std::uint32_t>(border_mode)) {
  assert(low_pass.size() == kTaps);
  const std::span<const float> taps = low_pass.first(std::min(low_pass.size(), kTaps));
  std::copy(taps.begin(), taps.end(), low_pass_.begin());
  filter_bank::mirror_low_pass(std::span<const float>(low_pass_).first(kTaps),
                               std::span<float>(high_pass_).first(kTaps));
}

template <std::size_t kTaps>
WaveletStatus FixedTapsFilterBank<kTaps>::execute_forward(std::span<const float> input,
                                                          std::span<float> approximations,
                                                          std::span<float> details) const {
  return execute_forward_with_scratch(input, approximations, details, {});
}

namespace filter_bank {

// One analysis step of an L-tap member; sizes must have been checked. `lp`
// and `hp` point at the stored taps.
template <std::size_t kTaps>
QUORVANE_KERNEL_INLINE void fixed_taps_forward_kernel(const float* lp, const float* hp,
                                                      BorderMode mode,
                                                      std::span<const float> input,
                                                      std::span<float> approximations,
                                                      std::span<float> details) {
  using Member = FixedTapsFilterBank<kTaps>;
  const std::size_t n = input.size();
  const std::size_t outputs = approximations.size();
  const std::size_t half = n / 2;
  // The first output whose window starts at or after sample 0.
  constexpr std::size_t kFirstInterior = kTaps / 2 - 1;
  constexpr std::size_t kLead = kTaps - 2;

  // Border outputs gather their window through the border rule (Reflect101
  // takes the Reflect values here) and are always computed singly.
  const auto border = BorderInterpolation::make(mode, 0, static_cast<std::int64_t>(n));
  const auto border_output = [&](std::size_t k) QUORVANE_KERNEL_LAMBDA {
    std::array<float, kTaps> window;
    const std::int64_t origin = 2 * static_cast<std::int64_t>(k) - static_cast<std::int64_t>(kLead);
    for (std::size_t j = 0; j < kTaps; ++j) {
      window[j] = border.value(input, origin + static_cast<std::int64_t>(j));
    }
    approximations[k] = single_sum(lane_values<kTaps>(lp, window.data()));
    details[k] = single_sum(lane_values<kTaps>(hp, window.data()));
  };

  for (std::size_t k = 0; k < kFirstInterior; ++k) border_output(k);

  // Interior windows are read straight from the input. Whole groups from the
  // first interior output on share the grouped tree; what is left over after
  // the last whole group is computed singly.
  const std::size_t grouped_end = half - Member::kGroupedRangeShortening;
  std::size_t k = kFirstInterior;
  for (; k + Member::kGroupSize <= grouped_end; k += Member::kGroupSize) {
    for (std::size_t g = 0; g < Member::kGroupSize; ++g) {
      const float* window = input.data() + 2 * (k + g) - kLead;
      approximations[k + g] = grouped_sum(lane_values<kTaps>(lp, window));
      details[k + g] = grouped_sum(lane_values<kTaps>(hp, window));
    }
  }
  for (; k < half; ++k) {
    const float* window = input.data() + 2 * k - kLead;
    approximations[k] = single_sum(lane_values<kTaps>(lp, window));
    details[k] = single_sum(lane_values<kTaps>(hp, window));
  }

  for (k = half; k < outputs; ++k) border_output(k);
}

template <std::size_t kTaps>
void fixed_taps_forward_portable(const float* lp, const float* hp, BorderMode mode,
                                 std::span<const float> input, std::span<float> approximations,
                                 std::span<float> details) {
  fixed_taps_forward_kernel<kTaps>(lp, hp, mode, input, approximations, details);
}

#if QUORVANE_X86_VARIANTS
template <std::size_t kTaps>
QUORVANE_FMA_TARGET void fixed_taps_forward_fma(const float* lp, const float* hp, BorderMode mode,
                                                std::span<const float> input,
                                                std::span<float> approximations,
                                                std::span<float> details) {
  fixed_taps_forward_kernel<kTaps>(lp, hp, mode, input, approximations, details);
}
#endif

}  // namespace filter_bank

template <std::size_t kTaps>
WaveletStatus FixedTapsFilterBank<kTaps>::execute_forward_with_scratch(
    std::span<const float> input, std::span<float> approximations, std::span<float> details,
    std::span<float> /*scratch*/) const {
  QUORVANE_TRY_STATUS(filter_bank::check_forward_sizes(input.size(), kTaps, approximations.size(),
                                                       details.size()));
#if QUORVANE_X86_VARIANTS
  if (filter_bank::use_fma_instructions()) {
    filter_bank::fixed_taps_forward_fma<kTaps>(low_pass_.data(), high_pass_.data(), border_mode(),
                                               input, approximations, details);
    return {};
  }
#endif
  filter_bank::fixed_taps_forward_portable<kTaps>(low_pass_.data(), high_pass_.data(),
                                                  border_mode(), input, approximations, details);
  return {};
}

template <std::size_t kTaps>
std::size_t FixedTapsFilterBank<kTaps>::required_scratch_size(std::size_t) const {
  return 0;
}

template <std::size_t kTaps>
DwtSize FixedTapsFilterBank<kTaps>::dwt_size(std::size_t input_length) const {
  const std::size_t m = filter_bank::outputs_per_branch(input_length, kTaps);
  return {m, m};
}

template <std::size_t kTaps>
WaveletStatus FixedTapsFilterBank<kTaps>::execute_inverse(std::span<const float> approximations,
                                                          std::span<const float> details,
                                                          std::span<float> output) const {
  QUORVANE_TRY_STATUS(filter_bank::check_inverse_sizes(approximations.size(), details.size(),
                                                       output.size(), kTaps));
  // The 8-tap member is the codec's and keeps its established term order;
  // the others add details first throughout.
  constexpr auto kOrder =
      kTaps == 8 ? filter_bank::TermOrder::EightTap : filter_bank::TermOrder::DetailsFirst;
  filter_bank::accumulate_synthesis(std::span<const float>(low_pass_).first(kTaps),
                                    std::span<const float>(high_pass_).first(kTaps),
                                    approximations, details, output, kOrder);
  return {};
}

template <std::size_t kTaps>
std::size_t FixedTapsFilterBank<kTaps>::idwt_size(DwtSize size) const {
  return filter_bank::reconstruction_length(size.approximations, kTaps);
}

template <std::size_t kTaps>
std::size_t FixedTapsFilterBank<kTaps>::filter_length() const {
  return kTaps;
}

}  // namespace quorvane::wavelet
