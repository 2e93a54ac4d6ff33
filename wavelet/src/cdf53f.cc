#include "cdf53f.h"

#include <algorithm>

#include "checked_allocation.h"

namespace quorvane::wavelet {

void Cdf53::forward_checked(std::span<const float> input, std::span<float> approximations,
                            std::span<float> details) const {
  lifting::lifting_kernels(active_kernel_variant()).cdf53_forward(input, approximations, details);
}

WaveletStatus Cdf53::inverse_checked(std::span<const float> approximations,
                                     std::span<const float> details,
                                     std::span<float> output) const {
  // The caller's details are read in place; the evens are lifted in a copy.
  QUORVANE_TRY(WorkBuffer evens, work_buffer(approximations.size()));
  QUORVANE_TRY(WorkBuffer odds, work_buffer(details.size()));
  std::copy(approximations.begin(), approximations.end(), evens.span().begin());
  lifting::lifting_kernels(active_kernel_variant())
      .cdf53_inverse(evens.span(), details, odds.span(), output);
  return {};
}

}  // namespace quorvane::wavelet
