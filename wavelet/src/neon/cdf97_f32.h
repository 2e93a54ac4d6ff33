// CDF 9/7 biorthogonal wavelet by lifting on float32 samples: the codec's
// default wavelet. Stateless; every operation is const and reentrant.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

class NeonCdf97F32 final : public DwtExecutor {
 public:
  static constexpr std::size_t kFilterLength = 10;
  // The shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 4;

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

// First interior even index the update pass leaves unchanged (E - 1 when it
// updates the whole interior), for E evens and O odds. See the .cc file.
std::size_t dwt97_update_interior_end(std::size_t even_count, std::size_t odd_count);

// evens[i] += c * (odds[i-1] + odds[i]) with mirrored borders and the
// coverage rule above; one fused rounding per sample. Needs E >= 2, O >= 1.
void dwt97_forward_update_even(std::span<float> evens, std::span<const float> odds, float c);

}  // namespace quorvane::wavelet
