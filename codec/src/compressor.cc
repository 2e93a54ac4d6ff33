#include <cmath>
#include <new>
#include <string>

#include "kernels/sample_kernels.h"
#include "level_count.h"
#include "normalization.h"
#include "payload_length.h"
#include "quantizer.h"
#include "quorvane/arans/arans.h"
#include "quorvane/codec/band_payload.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "raw_deflate.h"
#include "transform_error.h"
#include "uninitialized_vector.h"
#include "wavelet_choice.h"

namespace quorvane::codec {

namespace {

// What codes the payload: the coder the options name (the reference
// behaviour), or coder 2 for callers that ask for it by name.
enum class PayloadCoder : std::uint8_t { from_options, bands };

CodecResult<CodecOptions> checked_options(const CodecOptions& options) {
  // Callers from C++ can hand any byte values; refuse them before any work.
  if (options.scale < kMinScale || options.scale > kMaxScale) {
    return Err{QuorvaneError::unsupported_scale(options.scale)};
  }
  if (static_cast<unsigned>(options.method) > static_cast<unsigned>(WaveletMethod::sym4)) {
    return Err{QuorvaneError::unsupported_configuration(
        "Unknown wavelet method " + std::to_string(static_cast<unsigned>(options.method)))};
  }
  if (static_cast<unsigned>(options.cutoff) > static_cast<unsigned>(CutoffLevel::high)) {
    return Err{QuorvaneError::unsupported_configuration(
        "Unknown cutoff level " + std::to_string(static_cast<unsigned>(options.cutoff)))};
  }
  if (static_cast<unsigned>(options.coder) > static_cast<unsigned>(EntropyCoder::automatic)) {
    return Err{QuorvaneError::unsupported_configuration(
        "Unknown entropy coder " + std::to_string(static_cast<unsigned>(options.coder)))};
  }
  return options;
}

// Extends a signal shorter than the filter to exactly `filter_length` values
// by repeating it periodically; the header still records the original count.
void pad_periodically(UninitializedVector<float>& values, std::size_t filter_length) {
  const std::size_t n = values.size();
  values.reserve(filter_length);
  for (std::size_t k = 0; n + k < filter_length; ++k) {
    const float repeated = values[k % n];
    values.push_back(repeated);
  }
}

// Quantised coefficients as little-endian 16-bit values: the coarsest
// approximation, then the detail bands finest first. Approximations are
// never zeroed.
CodecResult<UninitializedVector<std::uint8_t>> serialize_coefficients(
    const wavelet::MultiDwt& decomposition, const CodecOptions& options) {
  const std::vector<float>& approximations = decomposition.levels.back().approximations;
  std::size_t detail_count = 0;
  for (const wavelet::Dwt& level : decomposition.levels) detail_count += level.details.size();

  UninitializedVector<std::uint8_t> bytes;
  try {
    bytes.resize(2 * (approximations.size() + detail_count));
  } catch (const std::bad_alloc&) {
    return Err{QuorvaneError::out_of_memory(detail_count)};
  } catch (const std::length_error&) {
    return Err{QuorvaneError::out_of_memory(detail_count)};
  }

  const kernels::SampleKernels& k = kernels::sample_kernels();
  const float factor = quantizer_factor(options.scale);
  std::uint8_t* out = bytes.data();
  // A threshold of 0 zeroes nothing: the approximations keep every value.
  k.quantize_to_bytes(approximations.data(), approximations.size(), factor, 0, out);
  out += 2 * approximations.size();
  const std::int32_t threshold = dead_zone_threshold(options.scale, options.cutoff);
  for (const wavelet::Dwt& level : decomposition.levels) {
    k.quantize_to_bytes(level.details.data(), level.details.size(), factor, threshold, out);
    out += 2 * level.details.size();
  }
  return bytes;
}

// The coefficient bytes as the values they encode, for coder 2, which codes
// values rather than bytes.
std::vector<std::int16_t> coefficient_values(std::span<const std::uint8_t> bytes) {
  std::vector<std::int16_t> values(bytes.size() / 2);
  for (std::size_t k = 0; k < values.size(); ++k) {
    values[k] = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8)));
  }
  return values;
}

CodecResult<std::vector<std::uint8_t>> compress_checked(std::span<const float> samples,
                                                        const CodecOptions& options,
                                                        PayloadCoder payload_coder) {
  const std::size_t n = samples.size();
  NormalizedSignal signal = normalize(samples);
  // Extremes beyond about +-1.7e38 overflow the range; such a stream would
  // carry a NaN mean that no decoder accepts.
  if (!std::isfinite(signal.max - signal.min)) {
    return Err{QuorvaneError::unsupported_configuration("Signal range exceeds the float32 range")};
  }

  const wavelet::DwtExecutorHandle executor = executor_for(options.method);
  const std::size_t filter_length = executor->filter_length();
  if (n < filter_length) pad_periodically(signal.values, filter_length);
  const std::size_t levels = level_count(n, filter_length);

  auto decomposition = executor->multi_dwt(signal.values, levels);
  if (!decomposition.ok()) {
    return Err{from_transform_error(decomposition.error())};
  }
  if (decomposition.value().levels.empty()) {
    return Err{QuorvaneError::transform_failed(
        "Internal DWT returned zero levels, what shouldn't happen")};
  }
  UninitializedVector<float>().swap(signal.values);  // the working copy is no longer needed

  QUORVANE_TRY(const UninitializedVector<std::uint8_t> coefficients,
               serialize_coefficients(decomposition.value(), options));
  decomposition = wavelet::MultiDwt{};

  std::vector<std::uint8_t> stream(HEADER_SIZE);
  std::uint8_t coder_id;
  if (payload_coder == PayloadCoder::bands) {
    coder_id = kCoderBands;
    // The layout comes from the header fields, exactly as the decoder derives it.
    QUORVANE_TRY(const std::vector<std::uint8_t> payload,
                 encode_band_payload(coefficient_values(coefficients), options.method,
                                     static_cast<std::uint32_t>(n),
                                     static_cast<std::uint8_t>(levels)));
    stream.insert(stream.end(), payload.begin(), payload.end());
  } else if (options.coder == EntropyCoder::deflate) {
    coder_id = kCoderDeflate;
    if (auto status = deflate_raw(coefficients, stream); !status.ok()) {
      return Err{QuorvaneError::compression_failed(status.error())};
    }
  } else {
    // `auto` makes no trial of both coders: it is the rANS coder.
    coder_id = kCoderArans;
    arans::append_stream(coefficients, stream);
  }

  QUORVANE_TRY(const std::uint32_t payload_len, payload_length_field(stream.size() - HEADER_SIZE));
  const QuorvaneHeader header = QuorvaneHeader::for_stream(
      options.method, static_cast<std::uint8_t>(levels), options.scale, coder_id,
      static_cast<std::uint32_t>(n), signal.min, signal.max, signal.mean, payload_len);
  header.write(std::span<std::uint8_t, HEADER_SIZE>(stream.data(), HEADER_SIZE));
  return stream;
}

// The checks and the pipeline every entry shares; only the payload's coder differs.
CodecResult<std::vector<std::uint8_t>> compress_with(std::span<const float> samples,
                                                     const CodecOptions& options,
                                                     PayloadCoder payload_coder) {
  const std::size_t n = samples.size();
  if (n == 0) return Err{QuorvaneError::unsupported_configuration("Can't compress empty data")};
  if (n > kMaxSampleCount) {
    return Err{QuorvaneError::unsupported_configuration("Can't compress data bigger than " +
                                                        std::to_string(kMaxSampleCount) +
                                                        ", but data was " + std::to_string(n))};
  }
  QUORVANE_TRY(const CodecOptions checked, checked_options(options));
  try {
    return compress_checked(samples, checked, payload_coder);
  } catch (const std::bad_alloc&) {
    // A working buffer could not be obtained; the caller decides what that
    // means (the Python module raises MemoryError) instead of the process ending.
    return Err{QuorvaneError::out_of_memory(n)};
  }
}

}  // namespace

CodecResult<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                                const CodecOptions& options) {
  return compress_with(samples, options, PayloadCoder::from_options);
}

CodecResult<std::vector<std::uint8_t>> compress_with_band_coder(std::span<const float> samples,
                                                                const CodecOptions& options) {
  return compress_with(samples, options, PayloadCoder::bands);
}

}  // namespace quorvane::codec
