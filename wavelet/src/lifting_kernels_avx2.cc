#include "lifting_kernels.h"

#if QUORVANE_X86_VARIANTS
#include <immintrin.h>
#endif

namespace quorvane::wavelet::lifting {

#if QUORVANE_X86_VARIANTS

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
  for (; i < count; ++i) out[i] = std::fma(neighbours[i] + neighbours[i + 1], c, base[i]);
}

#else

void lift_adjacent_pairs_avx2(std::span<const float> neighbours, float c,
                              std::span<const float> base, std::span<float> out) {
  lift_adjacent_pairs_scalar(neighbours, c, base, out);
}

#endif

}  // namespace quorvane::wavelet::lifting
