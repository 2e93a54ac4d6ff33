#include "neon/cdf97_f32.h"

#include <algorithm>

#include "portable/cdf97_streaming.h"

namespace quorvane::wavelet {

void dwt97_forward_update_even(std::span<float> evens, std::span<const float> odds, float c) {
  lifting::cdf97_update<lifting::BaselinePasses>(evens, odds, c);
}

void NeonCdf97F32::forward_checked(std::span<const float> input, std::span<float> approximations,
                                   std::span<float> details) const {
  // One sweep over the level, strip by strip.
  static const lifting::Cdf97ForwardStreaming forward =
      lifting::cdf97_forward_streaming(active_kernel_variant());
  forward(input, approximations, details);
}

WaveletStatus NeonCdf97F32::inverse_checked(std::span<const float> approximations,
                                            std::span<const float> details,
                                            std::span<float> output) const {
  // Reads the bands in place and lifts them strip by strip: no copy, nothing
  // allocated.
  static const lifting::Cdf97InverseStreaming inverse =
      lifting::cdf97_inverse_streaming(active_kernel_variant());
  inverse(lifting::band_of(approximations), lifting::band_of(details), output);
  return {};
}

}  // namespace quorvane::wavelet
