#include "neon/wavelet2taps_f32.h"

#include <cassert>
#include <cmath>
#include <cstdint>
#include <vector>

#include "border_mode.h"
#include "filter_bank_variants.h"
#include "quorvane/fused_multiply_add.h"
#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {

NeonWavelet2TapsF32::NeonWavelet2TapsF32(BorderMode border_mode, std::span<const float> low_pass)
    : border_mode_(static_cast<std::uint32_t>(border_mode)) {
  assert(low_pass.size() == kTapCount);
  const float lp0 = low_pass.size() > 0 ? low_pass[0] : 0.0f;
  const float lp1 = low_pass.size() > 1 ? low_pass[1] : 0.0f;
  low_pass_ = {lp0, lp1, lp0, lp1};
  const std::vector<float> high = low_pass_to_high(std::span<const float>(low_pass_).first(2));
  high_pass_ = {high[0], high[1], high[0], high[1]};
}

WaveletStatus NeonWavelet2TapsF32::execute_forward(std::span<const float> input,
                                                   std::span<float> approximations,
                                                   std::span<float> details) const {
  return execute_forward_with_scratch(input, approximations, details, {});
}

WaveletStatus NeonWavelet2TapsF32::execute_forward_with_scratch(std::span<const float> input,
                                                                std::span<float> approximations,
                                                                std::span<float> details,
                                                                std::span<float>) const {
  const std::size_t n = input.size();
  QUORVANE_TRY_STATUS(
      filter_bank::check_forward_sizes(n, kTapCount, approximations.size(), details.size()));

  const float lp0 = low_pass_[0], lp1 = low_pass_[1];
  const float hp0 = high_pass_[0], hp1 = high_pass_[1];
  const std::size_t half = n / 2;
  for (std::size_t k = 0; k < half; ++k) {
    const float x0 = input[2 * k];
    const float x1 = input[2 * k + 1];
    approximations[k] = (lp0 * x0) + (lp1 * x1);
    details[k] = (hp0 * x0) + (hp1 * x1);
  }
  if (n % 2 != 0) {
    // The last window pairs x[n-1] with the first sample past the end.
    const float x0 = input[n - 1];
    const float x1 = border_value(input, static_cast<std::int64_t>(n), border_mode());
    approximations[half] = BaselineFma::apply(lp1, x1, lp0 * x0);
    details[half] = BaselineFma::apply(hp1, x1, hp0 * x0);
  }
  return {};
}

std::size_t NeonWavelet2TapsF32::required_scratch_size(std::size_t) const { return 0; }

DwtSize NeonWavelet2TapsF32::dwt_size(std::size_t input_length) const {
  const std::size_t m = filter_bank::outputs_per_branch(input_length, kTapCount);
  return {m, m};
}

WaveletStatus NeonWavelet2TapsF32::execute_inverse(std::span<const float> approximations,
                                                   std::span<const float> details,
                                                   std::span<float> output) const {
  QUORVANE_TRY_STATUS(filter_bank::check_inverse_sizes(approximations.size(), details.size(),
                                                       output.size(), kTapCount));
  // output[2k+j] = fma(lp[j], a[k], fma(hp[j], d[k], output[2k+j])): details first.
  filter_bank::synthesis(active_kernel_variant(),
                         std::span<const float>(low_pass_).first(kTapCount),
                         std::span<const float>(high_pass_).first(kTapCount), approximations,
                         details, output, filter_bank::TermOrder::DetailsFirst);
  return {};
}

std::size_t NeonWavelet2TapsF32::idwt_size(DwtSize size) const {
  return filter_bank::reconstruction_length(size.approximations, kTapCount);
}

std::size_t NeonWavelet2TapsF32::filter_length() const { return kTapCount; }

}  // namespace quorvane::wavelet
