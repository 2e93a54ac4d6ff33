#include "target/analysis.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "kernels/sample_kernels.h"
#include "level_count.h"
#include "payload_length.h"
#include "quantizer.h"
#include "quorvane/arans/arans.h"
#include "quorvane/codec/band_payload.h"
#include "raw_deflate.h"
#include "target/rounding_quantizer.h"
#include "transform_error.h"
#include "wavelet_choice.h"

namespace quorvane::codec::target {
namespace {

constexpr std::size_t kMaxSamples = 2147483647;

TargetError codec_failed(const QuorvaneError& error) {
  return TargetError(TargetError::Kind::CodecFailed, error.message());
}

TargetError invalid_settings(std::string text) {
  return TargetError(TargetError::Kind::InvalidSettings, std::move(text));
}

std::string shown(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

}  // namespace

std::vector<std::span<const float>> Analysis::stream_bands(std::size_t levels) const {
  std::vector<std::span<const float>> out;
  out.reserve(levels + 1);
  out.emplace_back(bands.levels[levels - 1].approximations);
  for (std::size_t level = 0; level < levels; ++level) out.emplace_back(bands.levels[level].details);
  return out;
}

std::size_t Analysis::coefficient_count(std::size_t levels) const {
  std::size_t count = bands.levels[levels - 1].approximations.size();
  for (std::size_t level = 0; level < levels; ++level) count += bands.levels[level].details.size();
  return count;
}

std::size_t deepest_levels(std::size_t n, std::size_t filter_length) {
  // Short signals keep the reference encoder's counts, which every decoder
  // has seen; longer ones go as deep as the format allows.
  if (n < 80) return level_count(n, filter_length);
  const std::size_t q = n / filter_length;
  const std::size_t k = q == 0 ? 0 : static_cast<std::size_t>(std::bit_width(q)) - 1;
  return std::clamp<std::size_t>(k, 1, kMaxTargetLevels);
}

TargetResult<Analysis> analyse(std::span<const float> samples, WaveletMethod method,
                               std::size_t levels) {
  const std::size_t n = samples.size();
  if (n == 0) return Err{codec_failed(QuorvaneError::unsupported_configuration("Can't compress empty data"))};
  if (n > kMaxSamples) {
    return Err{codec_failed(QuorvaneError::unsupported_configuration(
        "Can't compress data bigger than 2147483647, but data was " + std::to_string(n)))};
  }
  if (static_cast<unsigned>(method) > static_cast<unsigned>(WaveletMethod::sym4)) {
    return Err{invalid_settings("Unknown wavelet method " + std::to_string(static_cast<unsigned>(method)))};
  }
  if (levels > kMaxTargetLevels) {
    return Err{invalid_settings("Level count must lie in 1..10, but it was " + std::to_string(levels))};
  }

  Analysis analysis;
  analysis.method = method;
  analysis.sample_count = n;
  float min = std::numeric_limits<float>::infinity();
  float max = -min;
  for (std::size_t i = 0; i < n; ++i) {
    const float x = samples[i];
    if (!std::isfinite(x)) {
      return Err{TargetError(TargetError::Kind::NonFiniteInput,
                             "Sample " + std::to_string(i) + " is " + shown(x) +
                                 "; a quality target needs finite samples")};
    }
    min = std::min(min, x);
    max = std::max(max, x);
  }
  const float range = max - min;
  if (!std::isfinite(range)) {
    return Err{codec_failed(QuorvaneError::unsupported_configuration("Signal range exceeds the float32 range"))};
  }
  analysis.true_min = min;
  analysis.true_max = max;
  analysis.reference_range = range > 0.0f ? range : 1.0f;

  // Normalised in double: only the reconstruction the decoder computes is
  // part of the format, so the encoder may work more precisely.
  const double inverse = 1.0 / static_cast<double>(analysis.reference_range);
  std::vector<float> values(n);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += (static_cast<double>(samples[i]) - min) * inverse;
  analysis.reference_mean = sum / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = static_cast<float>((static_cast<double>(samples[i]) - min) * inverse - analysis.reference_mean);
  }

  analysis.executor = executor_for(method);
  const std::size_t filter_length = analysis.executor->filter_length();
  if (levels == 0) levels = deepest_levels(n, filter_length);
  // Shorter signals are transformed periodically extended to the filter
  // length, as the decoder expects.
  for (std::size_t k = 0; values.size() < filter_length; ++k) values.push_back(values[k % n]);
  analysis.transform_length = values.size();

  auto decomposition = analysis.executor->multi_dwt(values, levels);
  if (!decomposition.ok()) return Err{codec_failed(from_transform_error(decomposition.error()))};
  analysis.bands = std::move(decomposition).value();
  if (analysis.bands.levels.size() != levels) {
    return Err{codec_failed(QuorvaneError::transform_failed("Transform returned " +
                                                            std::to_string(analysis.bands.levels.size()) +
                                                            " levels instead of " + std::to_string(levels)))};
  }
  return analysis;
}

std::uint8_t natural_scale(const Analysis& analysis, float step) {
  const double ratio = static_cast<double>(analysis.reference_range) / static_cast<double>(step);
  const double exponent = std::round(std::log2(std::max(ratio, 1.0)));
  return static_cast<std::uint8_t>(std::clamp(exponent, double{kMinScale}, double{kMaxScale}));
}

TargetResult<StoredMap> stored_map(const Analysis& analysis, float step, std::uint8_t scale) {
  if (!(step > 0.0f) || !std::isfinite(step)) {
    return Err{invalid_settings("Step must be a positive finite number, but it was " + shown(step))};
  }
  if (scale < kMinScale || scale > kMaxScale) {
    return Err{invalid_settings("Scale must lie in 6..12, but it was " + std::to_string(scale))};
  }
  StoredMap map;
  map.scale = scale;
  map.min = analysis.true_min;
  const float stored_range = step * quantizer_factor(scale);
  map.max = map.min + stored_range;
  map.range = map.max - map.min;
  if (!std::isfinite(map.max) || !std::isfinite(map.range) || !(map.range > 0.0f)) {
    return Err{invalid_settings("Step " + shown(step) + " cannot be stored for samples of magnitude " +
                                shown(std::max(std::fabs(analysis.true_min), std::fabs(analysis.true_max))))};
  }
  map.step = map.range * quantizer_step(scale);
  map.units_per_coefficient = analysis.reference_range / map.step;
  const double mean = analysis.reference_mean * analysis.reference_range / map.range;
  map.mean = static_cast<float>(mean);
  if (!std::isfinite(map.units_per_coefficient) || !std::isfinite(map.mean)) {
    return Err{invalid_settings("Step " + shown(step) + " is too small for this signal")};
  }
  return map;
}

std::vector<std::int16_t> quantize_bands(const Analysis& analysis, std::size_t levels,
                                         float units_per_coefficient, float dead_zone) {
  std::vector<std::int16_t> out(analysis.coefficient_count(levels));
  std::size_t k = 0;
  bool approximation = true;
  for (const std::span<const float> band : analysis.stream_bands(levels)) {
    // Approximations are always rounded plainly: they carry the signal's
    // shape and are few.
    const float zone = approximation ? 0.5f : dead_zone;
    for (const float c : band) out[k++] = quantize_rounded(c * units_per_coefficient, zone);
    approximation = false;
  }
  return out;
}

TargetResult<std::vector<float>> reconstruct(const Analysis& analysis, std::size_t levels,
                                             std::span<const std::int16_t> coefficients,
                                             const StoredMap& map) {
  const float step = quantizer_step(map.scale);
  std::vector<float> dequantized(coefficients.size());
  for (std::size_t k = 0; k < coefficients.size(); ++k) {
    dequantized[k] = static_cast<float>(coefficients[k]) * step;
  }
  wavelet::MultiDwtRef bands;
  std::size_t offset = 0;
  const std::vector<std::span<const float>> layout = analysis.stream_bands(levels);
  bands.approximations = std::span<const float>(dequantized.data(), layout[0].size());
  offset = layout[0].size();
  for (std::size_t b = 1; b < layout.size(); ++b) {
    bands.details.emplace_back(dequantized.data() + offset, layout[b].size());
    offset += layout[b].size();
  }
  auto restored = analysis.executor->multi_idwt(bands);
  if (!restored.ok()) return Err{codec_failed(from_transform_error(restored.error()))};
  std::vector<float> samples = std::move(restored).value();
  // The decoder's own kernel, on the samples it keeps.
  const std::size_t kept = std::min(samples.size(), analysis.sample_count);
  kernels::sample_kernels().denormalize(samples.data(), kept, map.mean, map.range, map.min);
  samples.resize(analysis.sample_count, 0.0f);
  return samples;
}

TargetResult<std::vector<std::uint8_t>> write_stream(const Analysis& analysis, std::size_t levels,
                                                     std::span<const std::int16_t> coefficients,
                                                     const StoredMap& map, StreamCoder coder) {
  std::vector<std::uint8_t> bytes(2 * coefficients.size());
  for (std::size_t k = 0; k < coefficients.size(); ++k) {
    const auto bits = static_cast<std::uint16_t>(coefficients[k]);
    bytes[2 * k] = static_cast<std::uint8_t>(bits & 0xFF);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
  std::vector<std::uint8_t> stream(HEADER_SIZE);
  switch (coder) {
    case StreamCoder::deflate:
      if (auto status = deflate_raw(bytes, stream); !status.ok()) {
        return Err{codec_failed(QuorvaneError::compression_failed(status.error()))};
      }
      break;
    case StreamCoder::arans: {
      const std::vector<std::uint8_t> payload = arans::encode_stream(bytes);
      stream.insert(stream.end(), payload.begin(), payload.end());
      break;
    }
    case StreamCoder::bands: {
      auto payload = encode_band_payload(coefficients, analysis.method,
                                         static_cast<std::uint32_t>(analysis.sample_count),
                                         static_cast<std::uint8_t>(levels));
      if (!payload.ok()) return Err{codec_failed(payload.error())};
      stream.insert(stream.end(), payload.value().begin(), payload.value().end());
      break;
    }
    default:
      return Err{invalid_settings("Unknown entropy coder " + std::to_string(static_cast<unsigned>(coder)))};
  }
  auto payload_len = payload_length_field(stream.size() - HEADER_SIZE);
  if (!payload_len.ok()) return Err{codec_failed(payload_len.error())};

  QuorvaneHeader header = QuorvaneHeader::for_stream(
      analysis.method, static_cast<std::uint8_t>(levels), map.scale, static_cast<std::uint8_t>(coder),
      static_cast<std::uint32_t>(analysis.sample_count), map.min, map.max, map.mean, payload_len.value());
  if (map.min != analysis.true_min || map.max != analysis.true_max) {
    header.reserved_tail = provenance_tail({analysis.true_min, analysis.true_max});
  }
  header.write(std::span<std::uint8_t, HEADER_SIZE>(stream.data(), HEADER_SIZE));
  return stream;
}

}  // namespace quorvane::codec::target
