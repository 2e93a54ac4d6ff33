// One method's view of a signal for the target encoder: the forward transform
// of the normalised signal at the deepest level count the encoder may use,
// and the pieces every later step shares (band layout, quantising, the
// decoder-exact reconstruction, the stream writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvane/codec/target_encoder.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::codec::target {

struct Analysis {
  WaveletMethod method = WaveletMethod::cdf97;
  wavelet::DwtExecutorHandle executor;
  std::size_t sample_count = 0;
  std::size_t transform_length = 0;  // max(sample count, filter length)
  float true_min = 0.0f;
  float true_max = 0.0f;
  // Coefficients are those of (x - true_min) / reference_range - reference_mean;
  // reference_range is the true range, or 1 for a flat signal.
  float reference_range = 1.0f;
  double reference_mean = 0.0;
  wavelet::MultiDwt bands;  // bands.levels.size() levels, finest first

  std::size_t max_levels() const { return bands.levels.size(); }
  // Coefficient bands of an L-level stream in stream order: the coarsest
  // approximation, then details finest first.
  std::vector<std::span<const float>> stream_bands(std::size_t levels) const;
  std::size_t coefficient_count(std::size_t levels) const;
};

// Checks the samples are finite, normalises and transforms them with
// `levels` levels (0: the deepest the encoder tries). Fails with the engine's message when the transform cannot
// go that deep.
TargetResult<Analysis> analyse(std::span<const float> samples, WaveletMethod method,
                               std::size_t levels);

// The deepest level count the encoder tries for n samples and a filter.
std::size_t deepest_levels(std::size_t n, std::size_t filter_length);

// The header's normalisation constants for a step: min is the true minimum,
// max - min as stored (in float32) is step * 2^scale up to rounding.
struct StoredMap {
  float min = 0.0f;
  float max = 0.0f;
  float range = 0.0f;  // max - min, exactly as the decoder forms it
  float mean = 0.0f;
  std::uint8_t scale = 12;
  float step = 0.0f;  // range * 2^-scale: the step the decoder applies
  // Quantiser units per reference-normalised coefficient.
  float units_per_coefficient = 0.0f;
};
TargetResult<StoredMap> stored_map(const Analysis& analysis, float step, std::uint8_t scale);
// The scale that keeps the stored range closest to the signal's own.
std::uint8_t natural_scale(const Analysis& analysis, float step);

// Quantised coefficients of an L-level stream, in stream order.
std::vector<std::int16_t> quantize_bands(const Analysis& analysis, std::size_t levels,
                                         float units_per_coefficient, float dead_zone);

// What `decompress` will produce from these coefficients and constants, by
// the same operations.
TargetResult<std::vector<float>> reconstruct(const Analysis& analysis, std::size_t levels,
                                             std::span<const std::int16_t> coefficients,
                                             const StoredMap& map);

// Header (with the provenance record) and payload for these coefficients.
TargetResult<std::vector<std::uint8_t>> write_stream(const Analysis& analysis, std::size_t levels,
                                                     std::span<const std::int16_t> coefficients,
                                                     const StoredMap& map, StreamCoder coder);

}  // namespace quorvane::codec::target
