#include <algorithm>
#include <cstdint>

#include "checked_allocation.h"
#include "kernel_variant.h"
#include "neon/cdf97_f32.h"
#include "portable/cdf97_streaming.h"
#include "quorvane/wavelet/band_source.h"

namespace quorvane::wavelet {

// The levels are built inside the result as multi_idwt builds them (level i
// in its last samples, reading its approximations where the coarser level
// wrote them); the coarsest approximations and every detail band come from
// the source, strip by strip. Each level is checked as execute_inverse
// checks it, in the same order, before it runs.
WaveletResult<std::vector<float>> cdf97_multi_idwt_from_source(const BandSource& source,
                                                               std::span<const DwtSize> sizes) {
  if (sizes.empty() || sizes.back().approximations == 0) {
    return Err{WaveletError::zero_sized_input()};
  }
  const std::size_t levels = sizes.size();
  // lengths[i]: the reconstruction of level i; offsets[i]: where its details
  // start in the source. Sums that wrap saturate (no such buffer exists).
  std::vector<std::size_t> lengths(levels), offsets(levels);
  std::size_t length = sizes.back().approximations;
  for (std::size_t i = levels; i-- > 0;) {
    const std::size_t d = sizes[i].details;
    length = length > SIZE_MAX - d ? SIZE_MAX : length + d;
    lengths[i] = length;
  }
  std::size_t offset = sizes.back().approximations;
  for (std::size_t i = 0; i < levels; ++i) {
    offsets[i] = offset;
    offset = offset > SIZE_MAX - sizes[i].details ? SIZE_MAX : offset + sizes[i].details;
  }
  QUORVANE_TRY(std::vector<float> result, zeroed_floats(lengths[0]));

  static const lifting::Cdf97InverseStreaming inverse =
      lifting::cdf97_inverse_streaming(active_kernel_variant());
  for (std::size_t i = levels; i-- > 0;) {
    const bool coarsest = i + 1 == levels;
    const std::size_t a = coarsest ? sizes.back().approximations : lengths[i + 1];
    const std::size_t d = sizes[i].details;
    const std::size_t n = lengths[i];
    const std::size_t required_a = std::max<std::size_t>(lifting::even_count(n), 2);
    if (a != required_a) return Err{WaveletError::approximation_size_mismatch(a, required_a)};
    const std::size_t required_d =
        std::max<std::size_t>(lifting::odd_count(n), NeonCdf97F32::kMinimumDetails);
    if (d != required_d) return Err{WaveletError::details_size_mismatch(d, required_d)};

    const std::span<float> output = std::span<float>(result).last(n);
    const lifting::StripBand approximations =
        coarsest ? lifting::StripBand{nullptr, &source, 0, a}
                 : lifting::band_of(std::span<const float>(result).last(a));
    inverse(approximations, lifting::StripBand{nullptr, &source, offsets[i], d}, output);
  }
  return result;
}

}  // namespace quorvane::wavelet
