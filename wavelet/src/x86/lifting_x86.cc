// The lifting transforms for x86-64 CPUs with FMA instructions, and with
// AVX2 eight-lane passes. Each lane computes exactly the portable expression
// (the sum rounded by _mm256_add_ps, then one _mm256_fmadd_ps; scaling by one
// _mm256_mul_ps); the tails, borders and the first predict are the portable
// code compiled for FMA instructions.
#include "portable/lifting_kernels.h"

#if QUORVANE_X86_VARIANTS

#include <immintrin.h>

namespace quorvane::wavelet::lifting {

QUORVANE_AVX2_FMA_TARGET void lift_adjacent_pairs_avx2(std::span<const float> neighbours, float c,
                                                       std::span<const float> base,
                                                       std::span<float> out) {
  const std::size_t count = out.size();
  const __m256 coefficient = _mm256_set1_ps(c);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 left = _mm256_loadu_ps(neighbours.data() + i);
    const __m256 right = _mm256_loadu_ps(neighbours.data() + i + 1);
    const __m256 sum = _mm256_add_ps(left, right);
    _mm256_storeu_ps(out.data() + i,
                     _mm256_fmadd_ps(sum, coefficient, _mm256_loadu_ps(base.data() + i)));
  }
  for (; i < count; ++i) out[i] = lift_sample(neighbours[i], neighbours[i + 1], c, base[i]);
}

namespace {

QUORVANE_AVX2_FMA_TARGET void scale_avx2(std::span<float> values, float factor) {
  const __m256 f = _mm256_set1_ps(factor);
  std::size_t i = 0;
  for (; i + 8 <= values.size(); i += 8) {
    _mm256_storeu_ps(values.data() + i, _mm256_mul_ps(_mm256_loadu_ps(values.data() + i), f));
  }
  for (; i < values.size(); ++i) values[i] = values[i] * factor;
}

struct Avx2Passes {
  QUORVANE_KERNEL_INLINE static void lift_adjacent_pairs(std::span<const float> neighbours,
                                                         float c, std::span<const float> base,
                                                         std::span<float> out) {
    lift_adjacent_pairs_avx2(neighbours, c, base, out);
  }
  QUORVANE_KERNEL_INLINE static void scale(std::span<float> values, float factor) {
    scale_avx2(values, factor);
  }
};

namespace fma {
QUORVANE_LIFTING_KERNELS(QUORVANE_FMA_TARGET, PortablePasses)
}  // namespace fma

namespace avx2 {
QUORVANE_LIFTING_KERNELS(QUORVANE_AVX2_FMA_TARGET, Avx2Passes)
}  // namespace avx2

}  // namespace

extern const LiftingKernels kFmaLiftingKernels{fma::cdf97_forward, fma::cdf97_inverse,
                                               fma::cdf53_forward, fma::cdf53_inverse};
extern const LiftingKernels kAvx2LiftingKernels{avx2::cdf97_forward, avx2::cdf97_inverse,
                                                avx2::cdf53_forward, avx2::cdf53_inverse};

}  // namespace quorvane::wavelet::lifting

#endif
