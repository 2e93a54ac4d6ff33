// CDF 5/3 (LeGall) biorthogonal wavelet by lifting on float32 samples. A
// floating-point transform: predict by -1/2, update by 1/4, no scaling.
// Stateless; every operation is const and reentrant. Its passes are chosen
// like those of NeonCdf97F32.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lifting_executor.h"

namespace quorvane::wavelet {

class Cdf53 final : public LiftingExecutor<Cdf53> {
 public:
  static constexpr std::size_t kFilterLength = 6;
  // The shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 3;
  static constexpr std::size_t kMinimumDetails = 1;

  // One analysis and one synthesis level on sizes already checked.
  void forward_checked(std::span<const float> input, std::span<float> approximations,
                       std::span<float> details) const;
  WaveletStatus inverse_checked(std::span<const float> approximations,
                                std::span<const float> details, std::span<float> output) const;
};

}  // namespace quorvane::wavelet
