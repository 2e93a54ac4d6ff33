#include "neon/cdf97_f32.h"

#include <algorithm>

#include "checked_allocation.h"

namespace quorvane::wavelet {

void dwt97_forward_update_even(std::span<float> evens, std::span<const float> odds, float c) {
  lifting::cdf97_update<lifting::BaselinePasses>(evens, odds, c);
}

void NeonCdf97F32::forward_checked(std::span<const float> input, std::span<float> approximations,
                                   std::span<float> details) const {
  lifting::lifting_kernels(active_kernel_variant()).cdf97_forward(input, approximations, details);
}

WaveletStatus NeonCdf97F32::inverse_checked(std::span<const float> approximations,
                                            std::span<const float> details,
                                            std::span<float> output) const {
  // Both halves are lifted in place, so the caller's inputs are copied.
  QUORVANE_TRY(WorkBuffer evens, work_buffer(approximations.size()));
  QUORVANE_TRY(WorkBuffer odds, work_buffer(details.size()));
  std::copy(approximations.begin(), approximations.end(), evens.span().begin());
  std::copy(details.begin(), details.end(), odds.span().begin());
  lifting::lifting_kernels(active_kernel_variant()).cdf97_inverse(evens.span(), odds.span(), output);
  return {};
}

}  // namespace quorvane::wavelet
