// One level of the CDF 9/7 transform, forward or inverse, in a single sweep.
//
// cdf97_inverse_steps (lifting_kernels.h) defines the inverse: scale both
// halves, update, predict, update, predict, interleave, each a full pass over
// the level. At 10^7 samples those seven passes and the two copies they lift
// in stream the level through memory nine times. Here the same steps run on
// strips of kCdf97Strip samples held in two small buffers that stay in the
// first-level cache, and the caller's bands are read once and the output
// written once. The forward transform (cdf97_forward_steps) runs the same way.
//
// Why it gives the same bits: every sample of every step is computed by the
// same expression from the same operands as in the full passes (the passes
// themselves are called on sub-ranges), so only the order in which
// independent samples are computed changes. A step may compute sample j only
// once every operand it reads is final, and it overwrites a sample of the
// step before only once every reader of that sample has run. One lifting
// step reads its own index and its two neighbours, so each step trails the
// one before by one sample within a strip:
//
//   loaded bands        [.. t)       scaled approximations e0, details o0
//   update  -delta      [.. t)       e1[j] reads o0[j - 1], o0[j]
//   predict -gamma      [.. t - 1)   o1[j] reads e1[j], e1[j + 1]
//   update  -beta       [.. t - 1)   e2[j] reads o1[j - 1], o1[j]
//   predict -alpha      [.. t - 2)   o2[j] reads e2[j], e2[j + 1]
//   interleaved output  [.. t - 2)
//
// The two samples of each half past the output are carried to the front of
// the buffers for the next strip. The last strip runs every step to the end
// of its half, which is where the mirrored borders are; the interior samples
// the CDF 9/7 update leaves alone (cdf97_update_interior_end) are skipped
// wherever a strip meets them.
//
// The forward steps trail each other the same way (predict alpha, update
// beta, predict gamma, update delta); its update delta at the start of a
// strip reads one odd sample before the first one it writes, so the forward
// carries three samples of each half.
//
// `Passes` supplies the vectorised lift_adjacent_pairs of a variant, and
// `StripPasses` the data movement: scaled_copy (one rounded product per
// sample), interleave_pairs and deinterleave_pairs.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <span>

#include "portable/lifting_kernels.h"
#include "quorvane/wavelet/band_source.h"

namespace quorvane::wavelet::lifting {

// A band of the inverse: `size` floats at `values`, or, when `source` is
// set, the coefficients offset ... offset + size - 1 of that source.
struct StripBand {
  const float* values = nullptr;
  const BandSource* source = nullptr;
  std::size_t offset = 0;
  std::size_t size = 0;
};

inline StripBand band_of(std::span<const float> values) {
  return {values.data(), nullptr, 0, values.size()};
}

// Samples of each half per strip: two buffers of this many floats (2 KiB
// each) leave most of a 32 KiB first-level cache to the bands streaming
// through. 256, 512, 1024 and 4096 measured alike within the noise of a
// shared machine; 512 was the steadiest.
inline constexpr std::size_t kCdf97Strip = 512;

// Plain C++ strip passes.
struct PortableStripPasses {
  QUORVANE_KERNEL_INLINE static void scaled_copy(std::span<const float> values, float factor,
                                                 float* out) {
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i] * factor;
  }
  // out[2i] = evens[i], out[2i + 1] = odds[i] for i < count.
  QUORVANE_KERNEL_INLINE static void interleave_pairs(const float* evens, const float* odds,
                                                      std::size_t count, float* out) {
    for (std::size_t i = 0; i < count; ++i) {
      out[2 * i] = evens[i];
      out[2 * i + 1] = odds[i];
    }
  }
  // evens[i] = x[2i], odds[i] = x[2i + 1] for i < count.
  QUORVANE_KERNEL_INLINE static void deinterleave_pairs(const float* x, std::size_t count,
                                                        float* evens, float* odds) {
    for (std::size_t i = 0; i < count; ++i) {
      evens[i] = x[2 * i];
      odds[i] = x[2 * i + 1];
    }
  }
};

namespace cdf97_streaming {

// Samples from .. from + count - 1 of `band`, each times `factor` (one
// rounded product; a source's own value is rounded before it).
template <class Passes, class StripPasses>
QUORVANE_KERNEL_INLINE void load_scaled(const StripBand& band, std::size_t from, std::size_t count,
                                        float factor, float* out) {
  if (band.source == nullptr) {
    StripPasses::scaled_copy(std::span<const float>(band.values + from, count), factor, out);
    return;
  }
  band.source->read(band.source->context, band.offset + from, count, out);
  Passes::scale(std::span<float>(out, count), factor);
}

// The evens and odds of the level, held for a window of global indices that
// starts at `base`.
struct Window {
  float* evens;
  float* odds;
  std::size_t base;
  std::size_t even_count;
  std::size_t odd_count;
  std::size_t interior_end;  // cdf97_update_interior_end of the level

  float* even_at(std::size_t j) const { return evens + (j - base); }
  float* odd_at(std::size_t j) const { return odds + (j - base); }
};

// update_evens restricted to evens [from, to): the same sample expressions,
// borders included when the range reaches them.
template <class Passes>
QUORVANE_KERNEL_INLINE void update_range(const Window& w, std::size_t from, std::size_t to,
                                         float c) {
  if (from >= to) return;
  if (from == 0) {
    float& first = *w.even_at(0);
    first = lift_sample<FmaOfPasses<Passes>>(*w.odd_at(0), *w.odd_at(0), c, first);
    from = 1;
  }
  const std::size_t lifted_end = std::min(to, w.interior_end);
  if (from < lifted_end) {
    const std::size_t count = lifted_end - from;
    const std::span<float> evens(w.even_at(from), count);
    Passes::lift_adjacent_pairs(std::span<const float>(w.odd_at(from - 1), count + 1), c, evens,
                                evens);
  }
  // Evens from interior_end to E - 2 keep their values.
  if (to == w.even_count) {
    float& last = *w.even_at(w.even_count - 1);
    last = lift_sample<FmaOfPasses<Passes>>(*w.odd_at(w.even_count - 2),
                                            *w.odd_at(w.odd_count - 1), c, last);
  }
}

// predict_odds restricted to odds [from, to).
template <class Passes>
QUORVANE_KERNEL_INLINE void predict_range(const Window& w, std::size_t from, std::size_t to,
                                          float c) {
  if (from >= to) return;
  const std::size_t with_right_neighbour = std::min(w.even_count - 1, w.odd_count);
  const std::size_t lifted_end = std::min(to, with_right_neighbour);
  if (from < lifted_end) {
    const std::size_t count = lifted_end - from;
    const std::span<float> odds(w.odd_at(from), count);
    Passes::lift_adjacent_pairs(std::span<const float>(w.even_at(from), count + 1), c, odds, odds);
  }
  if (w.even_count == w.odd_count && to == w.odd_count) {
    float& last = *w.odd_at(w.odd_count - 1);
    const float mirrored = *w.even_at(w.odd_count - 1);
    last = lift_sample<FmaOfPasses<Passes>>(mirrored, mirrored, c, last);
  }
}

}  // namespace cdf97_streaming

// The inverse of one level: `approximations` (E) and `details` (O) are read
// (each strip once, floats or through a source) and never written, `output` (E + O) written once. Needs E >= 2, O >= 2 and
// E - O in {0, 1}, which the executor checks.
//
// `approximations` may also be the last E samples of `output` itself: a strip
// writes output samples below 2 * loaded - 4, and the approximations not yet
// loaded start at output index O + loaded, which is above that since
// loaded <= O.
template <class Passes, class StripPasses>
QUORVANE_KERNEL_INLINE void cdf97_inverse_streaming_steps(const StripBand& approximations,
                                                          const StripBand& details,
                                                          std::span<float> output) {
  using namespace cdf97_streaming;
  constexpr std::size_t kStrip = kCdf97Strip;
  // A strip adds kStrip samples to the two carried ones; the last strip may
  // hold one even more than odds.
  constexpr std::size_t kCapacity = kStrip + 8;
  const std::size_t even = approximations.size;
  const std::size_t odd = details.size;
  assert(even >= 2 && odd >= 2 && (even == odd || even == odd + 1));
  assert(output.size() == even + odd);

  alignas(64) float evens[kCapacity];
  alignas(64) float odds[kCapacity];
  Window w{evens, odds, 0, even, odd, cdf97_update_interior_end(even, odd)};

  // How far each step has run (exclusive), in global indices.
  std::size_t loaded = 0, updated_delta = 0, predicted_gamma = 0, updated_beta = 0;
  std::size_t written = 0;
  for (;;) {
    const bool last = odd - loaded <= kStrip;
    const std::size_t evens_end = last ? even : loaded + kStrip;
    const std::size_t odds_end = last ? odd : loaded + kStrip;
    load_scaled<Passes, StripPasses>(approximations, loaded, evens_end - loaded,
                                     kCdf97InverseScale, w.even_at(loaded));
    load_scaled<Passes, StripPasses>(details, loaded, odds_end - loaded, kCdf97Scale,
                                     w.odd_at(loaded));
    loaded = odds_end;

    // Before the last strip odds_end < O <= E, so no step reaches a border
    // on the right.
    const std::size_t delta_end = last ? even : odds_end;
    update_range<Passes>(w, updated_delta, delta_end, -kCdf97Delta);
    updated_delta = delta_end;
    const std::size_t gamma_end = last ? odd : delta_end - 1;
    predict_range<Passes>(w, predicted_gamma, gamma_end, -kCdf97Gamma);
    predicted_gamma = gamma_end;
    const std::size_t beta_end = last ? even : gamma_end;
    update_range<Passes>(w, updated_beta, beta_end, -kCdf97Beta);
    updated_beta = beta_end;
    const std::size_t alpha_end = last ? odd : beta_end - 1;
    predict_range<Passes>(w, written, alpha_end, -kCdf97Alpha);

    StripPasses::interleave_pairs(w.even_at(written), w.odd_at(written), alpha_end - written,
                                  output.data() + 2 * written);
    written = alpha_end;
    if (last) break;

    // Carry the samples from `written` on (two of each half) to the front.
    const std::size_t carried = loaded - written;
    std::copy(w.even_at(written), w.even_at(loaded), evens);
    std::copy(w.odd_at(written), w.odd_at(loaded), odds);
    w.base = written;
    assert(carried + kStrip + 1 <= kCapacity);
    (void)carried;
  }
  // An odd-length level ends on an even sample.
  if (even > odd) output[2 * odd] = *w.even_at(even - 1);
}

// One forward level: `input` (n >= 4) is read once, `approximations`
// (even_count(n)) and `details` (odd_count(n)) written once.
template <class Passes, class StripPasses>
QUORVANE_KERNEL_INLINE void cdf97_forward_streaming_steps(std::span<const float> input,
                                                          std::span<float> approximations,
                                                          std::span<float> details) {
  using namespace cdf97_streaming;
  constexpr std::size_t kStrip = kCdf97Strip;
  constexpr std::size_t kCapacity = kStrip + 8;
  const std::size_t even = approximations.size();
  const std::size_t odd = details.size();
  assert(even >= 2 && odd >= 2 && even - odd <= 1 && input.size() == even + odd);

  alignas(64) float evens[kCapacity];
  alignas(64) float odds[kCapacity];
  Window w{evens, odds, 0, even, odd, cdf97_update_interior_end(even, odd)};

  std::size_t loaded = 0, predicted_alpha = 0, updated_beta = 0, predicted_gamma = 0;
  std::size_t written = 0;
  for (;;) {
    const bool last = odd - loaded <= kStrip;
    const std::size_t pairs_end = last ? odd : loaded + kStrip;
    StripPasses::deinterleave_pairs(input.data() + 2 * loaded, pairs_end - loaded,
                                    w.even_at(loaded), w.odd_at(loaded));
    if (last && even > odd) *w.even_at(even - 1) = input[2 * odd];
    loaded = pairs_end;

    const std::size_t alpha_end = last ? odd : pairs_end - 1;
    predict_range<Passes>(w, predicted_alpha, alpha_end, kCdf97Alpha);
    predicted_alpha = alpha_end;
    const std::size_t beta_end = last ? even : alpha_end;
    update_range<Passes>(w, updated_beta, beta_end, kCdf97Beta);
    updated_beta = beta_end;
    const std::size_t gamma_end = last ? odd : beta_end - 1;
    predict_range<Passes>(w, predicted_gamma, gamma_end, kCdf97Gamma);
    predicted_gamma = gamma_end;
    const std::size_t delta_end = last ? even : gamma_end;
    update_range<Passes>(w, written, delta_end, kCdf97Delta);

    StripPasses::scaled_copy(std::span<const float>(w.even_at(written), delta_end - written),
                             kCdf97Scale, approximations.data() + written);
    const std::size_t odds_end = last ? odd : delta_end;
    StripPasses::scaled_copy(std::span<const float>(w.odd_at(written), odds_end - written),
                             kCdf97InverseScale, details.data() + written);
    written = delta_end;
    if (last) break;

    // The next update delta reads the odd sample before `written`.
    const std::size_t keep_from = written - 1;
    std::copy(w.even_at(keep_from), w.even_at(loaded), evens);
    std::copy(w.odd_at(keep_from), w.odd_at(loaded), odds);
    w.base = keep_from;
  }
}

// The streaming inverse of each compiled variant.
using Cdf97InverseStreaming = void (*)(const StripBand& approximations, const StripBand& details,
                                       std::span<float> output);

// The entry point of `variant`, which must be one of
// available_kernel_variants().
Cdf97InverseStreaming cdf97_inverse_streaming(KernelVariant variant);

// The streaming forward level of each compiled variant.
using Cdf97ForwardStreaming = void (*)(std::span<const float> input,
                                       std::span<float> approximations, std::span<float> details);
Cdf97ForwardStreaming cdf97_forward_streaming(KernelVariant variant);

}  // namespace quorvane::wavelet::lifting
