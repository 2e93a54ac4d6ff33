// CDF 9/7 biorthogonal wavelet by lifting on float32 samples: the codec's
// default wavelet. Stateless; every operation is const and reentrant. The
// passes run four-lane NEON on 64-bit Arm, AVX2 or FMA code on x86-64 where
// the CPU has it, and the portable code (portable/lifting_kernels.h, which
// defines the results) elsewhere.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lifting_executor.h"

namespace quorvane::wavelet {

class NeonCdf97F32 final : public LiftingExecutor<NeonCdf97F32> {
 public:
  static constexpr std::size_t kFilterLength = 10;
  // The shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 4;
  static constexpr std::size_t kMinimumDetails = 2;

  // One analysis and one synthesis level on sizes already checked.
  void forward_checked(std::span<const float> input, std::span<float> approximations,
                       std::span<float> details) const;
  WaveletStatus inverse_checked(std::span<const float> approximations,
                                std::span<const float> details, std::span<float> output) const;
};

// evens[i] += c * (odds[i-1] + odds[i]) with mirrored borders and the
// coverage rule of cdf97_update_interior_end, in the portable code; one
// fused rounding per sample. Needs E >= 2, O >= 1.
void dwt97_forward_update_even(std::span<float> evens, std::span<const float> odds, float c);

}  // namespace quorvane::wavelet
