#include "neon/fixed_taps_filter_bank.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "filter_bank_variants.h"
#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {

template <std::size_t kTaps>
FixedTapsFilterBank<kTaps>::FixedTapsFilterBank(BorderMode border_mode,
                                                std::span<const float> low_pass)
    : border_mode_(static_cast<std::uint32_t>(border_mode)) {
  assert(low_pass.size() == kTaps);
  const std::span<const float> taps = low_pass.first(std::min(low_pass.size(), kTaps));
  std::copy(taps.begin(), taps.end(), low_pass_.begin());
  const std::vector<float> high = low_pass_to_high(taps);
  std::copy(high.begin(), high.end(), high_pass_.begin());
}

template <std::size_t kTaps>
WaveletStatus FixedTapsFilterBank<kTaps>::execute_forward(std::span<const float> input,
                                                          std::span<float> approximations,
                                                          std::span<float> details) const {
  return execute_forward_with_scratch(input, approximations, details, {});
}

template <std::size_t kTaps>
WaveletStatus FixedTapsFilterBank<kTaps>::execute_forward_with_scratch(
    std::span<const float> input, std::span<float> approximations, std::span<float> details,
    std::span<float> /*scratch*/) const {
  QUORVANE_TRY_STATUS(filter_bank::check_forward_sizes(input.size(), kTaps, approximations.size(),
                                                       details.size()));
  filter_bank::fixed_taps_forward<kTaps>(active_kernel_variant(), low_pass_.data(),
                                         high_pass_.data(), border_mode(), input, approximations,
                                         details);
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
  constexpr auto kOrder =
      kTaps == 8 ? filter_bank::TermOrder::EightTap : filter_bank::TermOrder::DetailsFirst;
  filter_bank::synthesis(active_kernel_variant(), std::span<const float>(low_pass_).first(kTaps),
                         std::span<const float>(high_pass_).first(kTaps), approximations, details,
                         output, kOrder);
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

#define QUORVANE_INSTANTIATE(L) template class FixedTapsFilterBank<L>;
QUORVANE_FOR_EACH_FIXED_TAPS(QUORVANE_INSTANTIATE)
#undef QUORVANE_INSTANTIATE

}  // namespace quorvane::wavelet
