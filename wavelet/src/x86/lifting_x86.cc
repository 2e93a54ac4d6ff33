// The lifting transforms for x86-64 CPUs with FMA instructions, and with
// AVX2 eight-lane passes. Each lane computes exactly the portable expression
// (the sum rounded by _mm256_add_ps, then one _mm256_fmadd_ps; scaling by one
// _mm256_mul_ps); the tails, borders and the first predict are the portable
// code compiled for FMA instructions.
#include "portable/cdf97_streaming.h"
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

// Data movement of the streaming levels: a rounded product per sample, and
// pairs interleaved by unpacking within 128-bit halves and recombining the
// halves in order (deinterleaved the reverse way).
QUORVANE_AVX2_FMA_TARGET void scaled_copy_avx2(std::span<const float> values, float factor,
                                               float* out) {
  const __m256 f = _mm256_set1_ps(factor);
  std::size_t i = 0;
  for (; i + 8 <= values.size(); i += 8) {
    _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_loadu_ps(values.data() + i), f));
  }
  for (; i < values.size(); ++i) out[i] = values[i] * factor;
}

QUORVANE_AVX2_FMA_TARGET void interleave_pairs_avx2(const float* evens, const float* odds,
                                                    std::size_t count, float* out) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 e = _mm256_loadu_ps(evens + i);
    const __m256 o = _mm256_loadu_ps(odds + i);
    const __m256 low = _mm256_unpacklo_ps(e, o);   // e0 o0 e1 o1 | e4 o4 e5 o5
    const __m256 high = _mm256_unpackhi_ps(e, o);  // e2 o2 e3 o3 | e6 o6 e7 o7
    _mm256_storeu_ps(out + 2 * i, _mm256_permute2f128_ps(low, high, 0x20));
    _mm256_storeu_ps(out + 2 * i + 8, _mm256_permute2f128_ps(low, high, 0x31));
  }
  for (; i < count; ++i) {
    out[2 * i] = evens[i];
    out[2 * i + 1] = odds[i];
  }
}

QUORVANE_AVX2_FMA_TARGET void deinterleave_pairs_avx2(const float* x, std::size_t count,
                                                      float* evens, float* odds) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 first = _mm256_loadu_ps(x + 2 * i);       // x0 .. x7
    const __m256 second = _mm256_loadu_ps(x + 2 * i + 8);  // x8 .. x15
    // x0 x2 x8 x10 | x4 x6 x12 x14, and the odd samples likewise; then the
    // 64-bit quarters in the order 0 2 1 3.
    const __m256 even = _mm256_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 odd = _mm256_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1));
    _mm256_storeu_ps(evens + i, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(even),
                                                                       _MM_SHUFFLE(3, 1, 2, 0))));
    _mm256_storeu_ps(odds + i, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(odd),
                                                                      _MM_SHUFFLE(3, 1, 2, 0))));
  }
  for (; i < count; ++i) {
    evens[i] = x[2 * i];
    odds[i] = x[2 * i + 1];
  }
}

struct Avx2StripPasses {
  QUORVANE_KERNEL_INLINE static void scaled_copy(std::span<const float> values, float factor,
                                                 float* out) {
    scaled_copy_avx2(values, factor, out);
  }
  QUORVANE_KERNEL_INLINE static void interleave_pairs(const float* evens, const float* odds,
                                                      std::size_t count, float* out) {
    interleave_pairs_avx2(evens, odds, count, out);
  }
  QUORVANE_KERNEL_INLINE static void deinterleave_pairs(const float* x, std::size_t count,
                                                        float* evens, float* odds) {
    deinterleave_pairs_avx2(x, count, evens, odds);
  }
};

namespace fma {
QUORVANE_LIFTING_KERNELS(QUORVANE_FMA_TARGET, PortablePasses)
}  // namespace fma

namespace avx2 {
QUORVANE_LIFTING_KERNELS(QUORVANE_AVX2_FMA_TARGET, Avx2Passes)
}  // namespace avx2

}  // namespace

QUORVANE_FMA_TARGET void cdf97_forward_streaming_fma(std::span<const float> input,
                                                     std::span<float> approximations,
                                                     std::span<float> details) {
  cdf97_forward_streaming_steps<PortablePasses, PortableStripPasses>(input, approximations,
                                                                     details);
}

QUORVANE_AVX2_FMA_TARGET void cdf97_forward_streaming_avx2(std::span<const float> input,
                                                           std::span<float> approximations,
                                                           std::span<float> details) {
  cdf97_forward_streaming_steps<Avx2Passes, Avx2StripPasses>(input, approximations, details);
}

QUORVANE_FMA_TARGET void cdf97_inverse_streaming_fma(const StripBand& approximations,
                                                     const StripBand& details, std::span<float> output) {
  cdf97_inverse_streaming_steps<PortablePasses, PortableStripPasses>(approximations, details,
                                                                     output);
}

QUORVANE_AVX2_FMA_TARGET void cdf97_inverse_streaming_avx2(const StripBand& approximations,
                                                           const StripBand& details, std::span<float> output) {
  cdf97_inverse_streaming_steps<Avx2Passes, Avx2StripPasses>(approximations, details, output);
}

extern const LiftingKernels kFmaLiftingKernels{fma::cdf97_forward, fma::cdf97_inverse,
                                               fma::cdf53_forward, fma::cdf53_inverse};
extern const LiftingKernels kAvx2LiftingKernels{avx2::cdf97_forward, avx2::cdf97_inverse,
                                                avx2::cdf53_forward, avx2::cdf53_inverse};

}  // namespace quorvane::wavelet::lifting

#endif
