// CDF 5/3 (LeGall) biorthogonal wavelet by lifting on float32 samples. A
// floating-point transform: predict by -1/2, update by 1/4, no scaling.
// Stateless; every operation is const and reentrant.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

class Cdf53 final : public DwtExecutor {
 public:
  static constexpr std::size_t kFilterLength = 6;
  // The shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 3;

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approximations,
                                std::span<float> details) const override;
  // Needs no scratch: `scratch` is neither checked nor touched.
  WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                             std::span<float> approximations,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  std::size_t required_scratch_size(std::size_t input_length) const override;
  DwtSize dwt_size(std::size_t input_length) const override;

  WaveletStatus execute_inverse(std::span<const float> approximations,
                                std::span<const float> details,
                                std::span<float> output) const override;
  std::size_t idwt_size(DwtSize size) const override;

  std::size_t filter_length() const override;

  WaveletResult<Dwt> dwt(std::span<const float> input, std::size_t level) const override;
  WaveletResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const override;
  WaveletResult<std::vector<float>> idwt(const DwtRef& level) const override;
  WaveletResult<std::vector<float>> multi_idwt(const MultiDwtRef& decomposition) const override;
};

}  // namespace quorvane::wavelet
