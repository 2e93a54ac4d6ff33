#include "kernels/cpu_dispatch.h"
#include "kernels/sample_kernels.h"

#if QUORVANE_CODEC_X86_VARIANTS

#include <immintrin.h>

#include <limits>

#include "kernels/scalar_steps.h"

namespace quorvane::codec::kernels {
namespace {

// _mm256_min_ps(a, b) is a < b ? a : b and _mm256_max_ps(a, b) is a > b ? a : b:
// with the sample or product as `a` they keep the constant `b` for NaN,
// exactly like the comparisons of the scalar steps.

QUORVANE_CODEC_AVX2_FMA_TARGET float reduce_lanes(__m256 v, bool smallest) {
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, v);
  float best = lanes[0];
  for (int j = 1; j < 8; ++j) best = smallest ? (lanes[j] < best ? lanes[j] : best)
                                              : (lanes[j] > best ? lanes[j] : best);
  return best;
}

QUORVANE_CODEC_AVX2_FMA_TARGET Extremes sanitize_extremes(const float* in, float* out,
                                                          std::size_t n) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 plus_inf = _mm256_set1_ps(kInf);
  const __m256 minus_inf = _mm256_set1_ps(-kInf);
  __m256 min = plus_inf;
  __m256 max = minus_inf;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(in + i);
    const __m256 to_zero = _mm256_or_ps(_mm256_cmp_ps(x, x, _CMP_UNORD_Q),
                                        _mm256_cmp_ps(x, minus_inf, _CMP_EQ_OQ));
    __m256 s = _mm256_blendv_ps(x, zero, to_zero);
    s = _mm256_blendv_ps(s, one, _mm256_cmp_ps(x, plus_inf, _CMP_EQ_OQ));
    _mm256_storeu_ps(out + i, s);
    min = _mm256_min_ps(s, min);
    max = _mm256_max_ps(s, max);
  }
  Extremes extremes{reduce_lanes(min, true), reduce_lanes(max, false)};
  for (; i < n; ++i) {
    const float x = sanitize_one(in[i]);
    out[i] = x;
    extremes.min = x < extremes.min ? x : extremes.min;
    extremes.max = x > extremes.max ? x : extremes.max;
  }
  return extremes;
}

QUORVANE_CODEC_AVX2_FMA_TARGET float normalize_and_sum(float* values, std::size_t n, float min,
                                                       float inv) {
  const __m256 lowest = _mm256_set1_ps(min);
  const __m256 scale = _mm256_set1_ps(inv);
  float sum = 0.0f;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(values + i), lowest), scale);
    _mm256_storeu_ps(values + i, v);
    // The mean's sum stays strictly sequential: one rounding per value, in
    // index order.
    for (std::size_t j = 0; j < 8; ++j) sum += values[i + j];
  }
  for (; i < n; ++i) {
    const float shifted = values[i] - min;
    values[i] = shifted * inv;
    sum += values[i];
  }
  return sum;
}

QUORVANE_CODEC_AVX2_FMA_TARGET void subtract(float* values, std::size_t n, float mean) {
  const __m256 m = _mm256_set1_ps(mean);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(values + i, _mm256_sub_ps(_mm256_loadu_ps(values + i), m));
  }
  for (; i < n; ++i) values[i] -= mean;
}

QUORVANE_CODEC_AVX2_FMA_TARGET __m256i quantize8(const float* in, __m256 factor, __m256i threshold) {
  const __m256 scaled = _mm256_mul_ps(_mm256_loadu_ps(in), factor);
  const __m256 clamped = _mm256_max_ps(_mm256_min_ps(scaled, _mm256_set1_ps(32767.0f)),
                                       _mm256_set1_ps(-32768.0f));
  const __m256i q = _mm256_cvttps_epi32(clamped);
  const __m256i small = _mm256_cmpgt_epi32(threshold, _mm256_abs_epi32(q));
  return _mm256_andnot_si256(small, q);
}

QUORVANE_CODEC_AVX2_FMA_TARGET void quantize_to_bytes(const float* coefficients, std::size_t n,
                                                      float factor, std::int32_t threshold,
                                                      std::uint8_t* out) {
  const __m256 f = _mm256_set1_ps(factor);
  const __m256i t = _mm256_set1_epi32(threshold);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i low = quantize8(coefficients + i, f, t);
    const __m256i high = quantize8(coefficients + i + 8, f, t);
    // packs interleaves the 128-bit halves; the permute restores index order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), packed);
  }
  for (; i < n; ++i) {
    store_le16(dead_zone_one(quantize_one(coefficients[i], factor), threshold), out + 2 * i);
  }
}

QUORVANE_CODEC_AVX2_FMA_TARGET void dequantize_bytes(const std::uint8_t* bytes, std::size_t n,
                                                     float step, float* out) {
  const __m256 s = _mm256_set1_ps(step);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
    const __m256 values = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(q));
    _mm256_storeu_ps(out + i, _mm256_mul_ps(values, s));
  }
  for (; i < n; ++i) out[i] = load_le16(bytes + 2 * i) * step;
}

QUORVANE_CODEC_AVX2_FMA_TARGET void denormalize(float* values, std::size_t n, float mean,
                                                float range, float min) {
  constexpr float kLargest = std::numeric_limits<float>::max();
  const __m256 m = _mm256_set1_ps(mean);
  const __m256 r = _mm256_set1_ps(range);
  const __m256 lowest = _mm256_set1_ps(min);
  const __m256 largest = _mm256_set1_ps(kLargest);
  const __m256 most_negative = _mm256_set1_ps(-kLargest);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 shifted = _mm256_add_ps(_mm256_loadu_ps(values + i), m);
    const __m256 out = _mm256_fmadd_ps(shifted, r, lowest);
    _mm256_storeu_ps(values + i, _mm256_max_ps(_mm256_min_ps(out, largest), most_negative));
  }
  for (; i < n; ++i) values[i] = denormalize_one<FmaInstruction>(values[i], mean, range, min);
}

}  // namespace

const SampleKernels* avx2_fma_sample_kernels() {
  static constexpr SampleKernels kAvx2Fma{
      "avx2-fma",         &sanitize_extremes, &normalize_and_sum, &subtract,
      &quantize_to_bytes, &dequantize_bytes,  &denormalize,
  };
  return cpu_has_avx2_fma() ? &kAvx2Fma : nullptr;
}

}  // namespace quorvane::codec::kernels

#else

namespace quorvane::codec::kernels {

const SampleKernels* avx2_fma_sample_kernels() { return nullptr; }

}  // namespace quorvane::codec::kernels

#endif
