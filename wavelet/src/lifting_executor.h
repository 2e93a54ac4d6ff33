// What the two lifting wavelets (CDF 9/7 and CDF 5/3) share: their size
// rules, the checks that run before anything is written, and the
// multi-level operations. A wavelet supplies its constants and the two
// single-level steps, which run only on checked sizes:
//
//   kFilterLength    reported filter length
//   kMinimumLength   shortest signal one level accepts, and the smallest
//                    reconstruction idwt_size reports
//   kMinimumDetails  smallest details length dwt_size reports
//   forward_checked(input, approximations, details)
//   inverse_checked(approximations, details, output)
//                    `approximations` may be the last samples of `output`
//                    (the multi-level inverse builds every level in place):
//                    each is read before the output sample holding it is
//                    written.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "multi_level.h"
#include "portable/lifting_kernels.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

template <class Wavelet>
class LiftingExecutor : public DwtExecutor {
 public:
  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approximations,
                                std::span<float> details) const final {
    const std::size_t n = input.size();
    if (n < Wavelet::kMinimumLength) {
      return Err{WaveletError::input_too_short(n, Wavelet::kMinimumLength)};
    }
    // These two messages name the input length as the required size.
    if (approximations.size() != lifting::even_count(n)) {
      return Err{WaveletError::approximation_size_mismatch(approximations.size(), n)};
    }
    if (details.size() != lifting::odd_count(n)) {
      return Err{WaveletError::details_size_mismatch(details.size(), n)};
    }
    wavelet().forward_checked(input, approximations, details);
    return {};
  }

  // Needs no scratch: `scratch` is neither checked nor touched.
  WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                             std::span<float> approximations,
                                             std::span<float> details,
                                             std::span<float> /*scratch*/) const final {
    return execute_forward(input, approximations, details);
  }

  std::size_t required_scratch_size(std::size_t /*input_length*/) const final { return 0; }

  DwtSize dwt_size(std::size_t input_length) const final {
    return {std::max<std::size_t>(lifting::even_count(input_length), 2),
            std::max<std::size_t>(lifting::odd_count(input_length), Wavelet::kMinimumDetails)};
  }

  WaveletStatus execute_inverse(std::span<const float> approximations,
                                std::span<const float> details,
                                std::span<float> output) const final {
    const std::size_t a = approximations.size();
    const std::size_t d = details.size();
    const std::size_t n = output.size();
    if (a + d != n) return Err{WaveletError::output_size_mismatch(n, a + d)};
    const std::size_t required_a = std::max<std::size_t>(lifting::even_count(n), 2);
    if (a != required_a) return Err{WaveletError::approximation_size_mismatch(a, required_a)};
    const std::size_t required_d =
        std::max<std::size_t>(lifting::odd_count(n), Wavelet::kMinimumDetails);
    if (d != required_d) return Err{WaveletError::details_size_mismatch(d, required_d)};
    return wavelet().inverse_checked(approximations, details, output);
  }

  std::size_t idwt_size(DwtSize size) const final {
    return std::max<std::size_t>(size.approximations + size.details, Wavelet::kMinimumLength);
  }

  std::size_t filter_length() const final { return Wavelet::kFilterLength; }

  WaveletResult<Dwt> dwt(std::span<const float> input, std::size_t level) const final {
    return dwt_levels(*this, kRules, input, level);
  }
  WaveletResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const final {
    return multi_dwt_levels(*this, kRules, input, levels);
  }
  WaveletResult<std::vector<float>> idwt(const DwtRef& level) const final {
    return idwt_level(*this, kRules, level);
  }
  WaveletResult<std::vector<float>> multi_idwt(const MultiDwtRef& decomposition) const final {
    return multi_idwt_levels(*this, kRules, decomposition);
  }

 private:
  static constexpr MultiLevelRules kRules{Wavelet::kMinimumLength, true, true};

  const Wavelet& wavelet() const { return static_cast<const Wavelet&>(*this); }
};

}  // namespace quorvane::wavelet
