#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "quantizer.h"
#include "quorvane/arans/arans.h"
#include "quorvane/arans/band_coder.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "raw_deflate.h"
#include "transform_error.h"
#include "wavelet_choice.h"

namespace quorvane::codec {
namespace {

constexpr std::uint32_t kMaxSampleCount = 2147483647;
constexpr std::uint8_t kMaxDecoderLevels = 10;

QuorvaneError failed(std::string reason) {
  return QuorvaneError::decompression_failed(std::move(reason));
}

// Band lengths of every level, finest first, recomputed from the transform
// length; nothing of it is stored in the stream.
std::vector<wavelet::DwtSize> level_sizes(const wavelet::DwtExecutor& executor,
                                          std::size_t transform_length, std::size_t levels) {
  std::vector<wavelet::DwtSize> sizes;
  sizes.reserve(levels);
  sizes.push_back(executor.dwt_size(transform_length));
  for (std::size_t i = 1; i < levels; ++i) {
    sizes.push_back(executor.dwt_size(sizes.back().approximations));
  }
  return sizes;
}

CodecResult<std::vector<std::uint8_t>> decode_payload(std::span<const std::uint8_t> payload,
                                                      std::uint8_t coder,
                                                      std::size_t needed_bytes) {
  if (coder == kCoderArans) {
    auto decoded = arans::decode_stream(payload);
    if (!decoded.ok()) {
      if (decoded.error() == arans::AransError::OutOfMemory) throw std::bad_alloc();
      return Err{failed(std::string(arans::message(decoded.error())))};
    }
    return std::move(decoded).value();
  }
  auto inflated = inflate_raw(payload, needed_bytes);
  if (!inflated.ok()) return Err{failed(inflated.error())};
  return std::move(inflated).value();
}

// Coder 2 codes the coefficients band by band; handing them on as
// little-endian pairs keeps one path for every coder after this point.
CodecResult<std::vector<std::uint8_t>> decode_band_payload(std::span<const std::uint8_t> payload,
                                                           const std::vector<wavelet::DwtSize>& sizes) {
  arans::BandLayout layout{sizes.back().approximations, {}};
  for (const wavelet::DwtSize& size : sizes) layout.details.push_back(size.details);
  auto decoded = arans::decode_bands(payload, layout);
  if (!decoded.ok()) {
    if (decoded.error() == arans::AransError::OutOfMemory) throw std::bad_alloc();
    return Err{failed(std::string(arans::message(decoded.error())))};
  }
  const std::vector<std::int16_t>& values = decoded.value();
  std::vector<std::uint8_t> bytes(2 * values.size());
  for (std::size_t k = 0; k < values.size(); ++k) {
    const auto bits = static_cast<std::uint16_t>(values[k]);
    bytes[2 * k] = static_cast<std::uint8_t>(bits);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
  return bytes;
}

float load_coefficient(const std::vector<std::uint8_t>& bytes, std::size_t index) {
  const auto bits = static_cast<std::uint16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
  return static_cast<float>(static_cast<std::int16_t>(bits));
}

CodecResult<std::vector<float>> decompress_checked(std::span<const std::uint8_t> stream) {
  QUORVANE_TRY(const QuorvaneHeader header, QuorvaneHeader::from_bytes(stream));

  if (header.sample_count > kMaxSampleCount) {
    return Err{failed("Can't decompress data bigger than 2147483647, but data was " +
                      std::to_string(header.sample_count))};
  }
  if (header.levels > kMaxDecoderLevels) {
    return Err{failed("Max supported level is 10 but it was " + std::to_string(header.levels))};
  }
  if (header.levels == 0) {
    return Err{failed("Min supported level is 1 but it was " + std::to_string(header.levels))};
  }
  const std::optional<WaveletMethod> method = method_from_code(header.method);
  if (!method) return Err{QuorvaneError::invalid_compression_method(header.method)};
  if (header.coder > kCoderBands) return Err{QuorvaneError::unknown_entropy_coder(header.coder)};
  // No encoder writes an empty stream; refuse before any size is derived from it.
  if (header.sample_count == 0) return Err{failed("Sample count must be at least 1")};

  const wavelet::DwtExecutorHandle executor = executor_for(*method);
  // Signals shorter than the filter were transformed after periodic padding
  // to the filter length, so their bands have the padded signal's sizes.
  const std::size_t transform_length =
      std::max<std::size_t>(header.sample_count, executor->filter_length());
  const std::vector<wavelet::DwtSize> sizes = level_sizes(*executor, transform_length, header.levels);

  const std::uint64_t required_len = std::uint64_t{header.payload_len} + HEADER_SIZE;
  if (stream.size() < required_len) {
    return Err{failed("Minimum data size is " + std::to_string(required_len) + ", but it was " +
                      std::to_string(stream.size()))};
  }
  const std::span<const std::uint8_t> payload = stream.subspan(HEADER_SIZE, header.payload_len);

  const std::size_t approximation_count = sizes.back().approximations;
  std::size_t coefficient_count = approximation_count;
  for (const wavelet::DwtSize& size : sizes) coefficient_count += size.details;

  QUORVANE_TRY(const std::vector<std::uint8_t> bytes,
               header.coder == kCoderBands
                   ? decode_band_payload(payload, sizes)
                   : decode_payload(payload, header.coder, 2 * coefficient_count));

  if (header.scale < kMinScale || header.scale > kMaxScale) {
    return Err{failed("Supported scales only [6, 12] but it was " + std::to_string(header.scale))};
  }
  // A truncated payload or a crafted header can leave the bands short; an odd
  // final byte is not a coefficient.
  if (bytes.size() / 2 < coefficient_count) {
    return Err{failed("Coefficient data is shorter than the stream header requires")};
  }

  // Dequantise: each value converted exactly, then one product with 2^-scale.
  const float step = quantizer_step(header.scale);
  std::vector<float> coefficients(coefficient_count);
  for (std::size_t k = 0; k < coefficient_count; ++k) {
    coefficients[k] = load_coefficient(bytes, k) * step;
  }

  wavelet::MultiDwtRef bands;
  bands.approximations = std::span<const float>(coefficients.data(), approximation_count);
  std::size_t offset = approximation_count;
  for (const wavelet::DwtSize& size : sizes) {
    bands.details.emplace_back(coefficients.data() + offset, size.details);
    offset += size.details;
  }

  auto reconstructed = executor->multi_idwt(bands);
  if (!reconstructed.ok()) {
    return Err{from_transform_error(reconstructed.error())};
  }
  std::vector<float> samples = std::move(reconstructed).value();

  // out = (y + mean) * range + min, the sums rounded on their own and the
  // multiply-add fused.
  // A sample within the quantiser's error of the largest float can round
  // past it; it is clamped to the largest finite value rather than returned
  // as infinity. Every finite result is unchanged.
  const float range = header.max - header.min;
  constexpr float kLargest = std::numeric_limits<float>::max();
  for (float& y : samples) {
    const float out = std::fma(y + header.mean, range, header.min);
    y = std::fmax(std::fmin(out, kLargest), -kLargest);
  }

  // The transform may return one sample more (odd lengths) or, for padded
  // short signals, up to the filter length: keep exactly sample_count.
  samples.resize(header.sample_count, 0.0f);
  return samples;
}

}  // namespace

CodecResult<std::vector<float>> decompress(std::span<const std::uint8_t> stream) {
  try {
    return decompress_checked(stream);
  } catch (const std::bad_alloc&) {
    // A working buffer could not be obtained; the caller decides what that
    // means (the Python module raises MemoryError). The count is the number
    // of samples the stream asked for.
    auto header = QuorvaneHeader::from_bytes(stream);
    return Err{QuorvaneError::out_of_memory(header.ok() ? header.value().sample_count : 0)};
  }
}

}  // namespace quorvane::codec
