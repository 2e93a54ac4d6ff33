// Lifting passes shared by the CDF 9/7 and CDF 5/3 executors.
//
// Every lifted sample is fma(left + right, c, base): the neighbour sum is
// rounded on its own, then one fused multiply-add rounds once. Scaling is a
// plain rounded product. These scalar passes define the result; a vector
// version of lift_adjacent_pairs or scale_all must compute the same
// expression per lane (vfmaq_f32(base, vaddq_f32(l, r), vdupq_n_f32(c)) on
// Arm, _mm256_fmadd_ps(_mm256_add_ps(l, r), c, base) on x86-64) and sits
// behind these functions, leaving borders to the scalar code.
#pragma once

#include <cassert>
#include <cmath>
#include <cstddef>
#include <span>

#include "cpu_features.h"

namespace quorvane::wavelet::lifting {

// Approximation (even-index) and details (odd-index) lengths of n samples.
constexpr std::size_t even_count(std::size_t n) { return n - n / 2; }
constexpr std::size_t odd_count(std::size_t n) { return n / 2; }

inline float lift_sample(float left, float right, float c, float base) {
  return std::fma(left + right, c, base);
}

// out[i] = fma(neighbours[i] + neighbours[i + 1], c, base[i]) for every i of
// `out`. `out` may be `base` itself: each sample reads and writes only its
// own index, so the pass is safe in place and lane-parallel.
inline void lift_adjacent_pairs_scalar(std::span<const float> neighbours, float c,
                                       std::span<const float> base, std::span<float> out) {
  assert(neighbours.size() >= out.size() + 1 && base.size() >= out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = lift_sample(neighbours[i], neighbours[i + 1], c, base[i]);
  }
}

// The same pass, eight lanes at a time with AVX2 and FMA instructions: each
// lane computes exactly the scalar expression (the sum rounded by
// _mm256_add_ps, then one _mm256_fmadd_ps), the tail is scalar. Only called
// where use_avx2_fma_instructions() holds.
void lift_adjacent_pairs_avx2(std::span<const float> neighbours, float c,
                              std::span<const float> base, std::span<float> out);

inline void lift_adjacent_pairs(std::span<const float> neighbours, float c,
                                std::span<const float> base, std::span<float> out) {
#if QUORVANE_X86_VARIANTS
  if (use_avx2_fma_instructions()) return lift_adjacent_pairs_avx2(neighbours, c, base, out);
#endif
  lift_adjacent_pairs_scalar(neighbours, c, base, out);
}

inline void scale_all_scalar(std::span<float> values, float factor) {
  for (float& value : values) value = value * factor;
}

inline void scale_all(std::span<float> values, float factor) { scale_all_scalar(values, factor); }

// Predict straight from an interleaved signal x of n samples:
// odds[i] = fma(x[2i] + x[2i + 2], c, x[2i + 1]). For even n the last odd
// sample has no right even neighbour and mirrors x[n - 2] instead.
inline void predict_odds_from_interleaved(std::span<const float> x, float c, std::span<float> odds) {
  const std::size_t n = x.size();
  assert(n >= 3 && odds.size() == odd_count(n));
  const std::size_t with_right_neighbour = (n - 1) / 2;
  for (std::size_t i = 0; i < with_right_neighbour; ++i) {
    odds[i] = lift_sample(x[2 * i], x[2 * i + 2], c, x[2 * i + 1]);
  }
  if (n % 2 == 0) odds[n / 2 - 1] = lift_sample(x[n - 2], x[n - 2], c, x[n - 1]);
}

// Predict from the even array: odds[i] = fma(evens[i] + evens[i + 1], c,
// base[i]); when there are as many evens as odds, the last odd sample mirrors
// its missing right neighbour (evens[E-1] + evens[E-1]). `odds` may be `base`.
inline void predict_odds(std::span<const float> evens, float c, std::span<const float> base,
                         std::span<float> odds) {
  const std::size_t count = odds.size();
  assert(count >= 1 && base.size() == count);
  assert(evens.size() == count || evens.size() == count + 1);
  const std::size_t with_right_neighbour = evens.size() - 1 < count ? evens.size() - 1 : count;
  lift_adjacent_pairs(evens.first(with_right_neighbour + 1), c, base.first(with_right_neighbour),
                      odds.first(with_right_neighbour));
  if (evens.size() == count) {
    const float last = evens[count - 1];
    odds[count - 1] = lift_sample(last, last, c, base[count - 1]);
  }
}

// Update the even array from its odd neighbours, in place:
//   evens[0]     uses odds[0] + odds[0]         (missing left neighbour mirrored)
//   evens[i]     uses odds[i - 1] + odds[i]     for 1 <= i < interior_end
//   evens[E - 1] uses odds[E - 2] + odds[O - 1] (mirrored again when O = E - 1)
// Interior samples from interior_end to E - 2 keep their values; callers that
// update the whole interior pass E - 1.
inline void update_evens(std::span<const float> odds, float c, std::span<float> evens,
                         std::size_t interior_end) {
  const std::size_t even = evens.size();
  const std::size_t odd = odds.size();
  assert(even >= 2 && odd >= 1 && (odd == even || odd + 1 == even));
  assert(interior_end >= 1 && interior_end <= even - 1);
  evens[0] = lift_sample(odds[0], odds[0], c, evens[0]);
  const std::span<float> interior = evens.subspan(1, interior_end - 1);
  lift_adjacent_pairs(odds.first(interior_end), c, interior, interior);
  evens[even - 1] = lift_sample(odds[even - 2], odds[odd - 1], c, evens[even - 1]);
}

inline void split_evens(std::span<const float> x, std::span<float> evens) {
  assert(evens.size() == even_count(x.size()));
  for (std::size_t k = 0; k < evens.size(); ++k) evens[k] = x[2 * k];
}

// output[2i] = evens[i], output[2i + 1] = odds[i]; for odd lengths the last
// even sample closes the signal.
inline void interleave(std::span<const float> evens, std::span<const float> odds,
                       std::span<float> output) {
  assert(output.size() == evens.size() + odds.size() && evens.size() >= odds.size());
  for (std::size_t i = 0; i < odds.size(); ++i) {
    output[2 * i] = evens[i];
    output[2 * i + 1] = odds[i];
  }
  if (output.size() % 2 == 1) output[output.size() - 1] = evens[evens.size() - 1];
}

}  // namespace quorvane::wavelet::lifting
