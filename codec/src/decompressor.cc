#include <algorithm>
#include <new>
#include <string>

#include "kernels/sample_kernels.h"
#include "level_count.h"
#include "quantizer.h"
#include "quorvane/arans/arans.h"
#include "quorvane/arans/band_coder.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "quorvane/wavelet/band_source.h"
#include "raw_deflate.h"
#include "transform_error.h"
#include "uninitialized_vector.h"
#include "wavelet_choice.h"

namespace quorvane::codec {
namespace {

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

// The checks between decoding and dequantising, in the decoder's order; the
// step is 2^-scale.
CodecResult<float> dequantization_step(std::uint8_t scale, std::size_t value_count,
                                       std::size_t coefficient_count) {
  // The parser already refuses these scales; the check stays at this point
  // of the decoder's order of checks, after the payload is decoded.
  if (scale < kMinScale || scale > kMaxScale) {
    return Err{failed("Supported scales only [6, 12] but it was " + std::to_string(scale))};
  }
  // A truncated payload or a crafted header can leave the bands short.
  if (value_count < coefficient_count) {
    return Err{failed("Coefficient data is shorter than the stream header requires")};
  }
  return quantizer_step(scale);
}

// Coefficient bytes (little-endian pairs; an odd final byte is not a
// coefficient) to dequantised coefficients: each value converted exactly,
// then one product with the step.
CodecResult<UninitializedVector<float>> dequantize(std::span<const std::uint8_t> bytes,
                                                   std::uint8_t scale,
                                                   std::size_t coefficient_count) {
  QUORVANE_TRY(const float step, dequantization_step(scale, bytes.size() / 2, coefficient_count));
  UninitializedVector<float> coefficients(coefficient_count);
  kernels::sample_kernels().dequantize_bytes(bytes.data(), coefficient_count, step,
                                             coefficients.data());
  return coefficients;
}

// The same for coder 2, which decodes the values themselves.
CodecResult<UninitializedVector<float>> dequantize(std::span<const std::int16_t> values,
                                                   std::uint8_t scale,
                                                   std::size_t coefficient_count) {
  QUORVANE_TRY(const float step, dequantization_step(scale, values.size(), coefficient_count));
  UninitializedVector<float> coefficients(coefficient_count);
  for (std::size_t k = 0; k < coefficient_count; ++k) {
    coefficients[k] = static_cast<float>(values[k]) * step;
  }
  return coefficients;
}

// Coder 2 codes the coefficients band by band, in the bands the header's
// fields imply.
CodecResult<std::vector<std::int16_t>> decode_band_payload(std::span<const std::uint8_t> payload,
                                                           const QuorvaneHeader& header,
                                                           const std::vector<wavelet::DwtSize>& sizes) {
  arans::BandLayout layout{sizes.back().approximations, {}};
  for (const wavelet::DwtSize& size : sizes) layout.details.push_back(size.details);
  auto decoded = arans::decode_bands(payload, layout);
  if (!decoded.ok()) {
    if (decoded.error() == arans::AransError::OutOfMemory) {
      return Err{QuorvaneError::out_of_memory(header.sample_count)};
    }
    return Err{failed(std::string(arans::message(decoded.error())))};
  }
  return std::move(decoded).value();
}

// Coder 2's values, dequantised.
CodecResult<UninitializedVector<float>> decode_band_coefficients(
    std::span<const std::uint8_t> payload, const QuorvaneHeader& header,
    const std::vector<wavelet::DwtSize>& sizes, std::size_t coefficient_count) {
  QUORVANE_TRY(const std::vector<std::int16_t> values, decode_band_payload(payload, header, sizes));
  return dequantize(std::span<const std::int16_t>(values), header.scale, coefficient_count);
}

// The inverse transform of dequantised coefficients (the coarsest
// approximations, then the details from the finest level to the coarsest).
CodecResult<std::vector<float>> reconstruct(const UninitializedVector<float>& coefficients,
                                            const wavelet::DwtExecutor& executor,
                                            const std::vector<wavelet::DwtSize>& sizes) {
  const std::size_t approximation_count = sizes.back().approximations;
  wavelet::MultiDwtRef bands;
  bands.approximations = std::span<const float>(coefficients.data(), approximation_count);
  std::size_t offset = approximation_count;
  for (const wavelet::DwtSize& size : sizes) {
    bands.details.emplace_back(coefficients.data() + offset, size.details);
    offset += size.details;
  }
  auto reconstructed = executor.multi_idwt(bands);
  if (!reconstructed.ok()) return Err{from_transform_error(reconstructed.error())};
  return std::move(reconstructed).value();
}

// The coefficient bytes of coder 0 or 1, dequantised strip by strip while
// the CDF 9/7 inverse runs: each value converted exactly, then one product
// with the step, as dequantize gives it.
struct QuantizedBytes {
  const std::uint8_t* bytes;
  float step;

  static void read(const void* context, std::size_t offset, std::size_t count, float* out) {
    const auto& source = *static_cast<const QuantizedBytes*>(context);
    kernels::sample_kernels().dequantize_bytes(source.bytes + 2 * offset, count, source.step, out);
  }
};

// The inverse transform of coefficient bytes. CDF 9/7 (the default) reads
// them straight from the bytes, so no float copy of the coefficients is ever
// held; the other wavelets take them dequantised.
CodecResult<std::vector<float>> reconstruct_from_bytes(std::span<const std::uint8_t> bytes,
                                                       const QuorvaneHeader& header,
                                                       WaveletMethod method,
                                                       const wavelet::DwtExecutor& executor,
                                                       const std::vector<wavelet::DwtSize>& sizes,
                                                       std::size_t coefficient_count) {
  if (method == WaveletMethod::cdf97) {
    QUORVANE_TRY(const float step,
                 dequantization_step(header.scale, bytes.size() / 2, coefficient_count));
    const QuantizedBytes quantized{bytes.data(), step};
    auto reconstructed = wavelet::cdf97_multi_idwt_from_source(
        wavelet::BandSource{&QuantizedBytes::read, &quantized}, sizes);
    if (!reconstructed.ok()) return Err{from_transform_error(reconstructed.error())};
    return std::move(reconstructed).value();
  }
  QUORVANE_TRY(const UninitializedVector<float> coefficients,
               dequantize(bytes, header.scale, coefficient_count));
  return reconstruct(coefficients, executor, sizes);
}

// `requested` receives the header's sample count as soon as it is known: the
// count an out-of-memory report carries.
CodecResult<std::vector<float>> decompress_checked(std::span<const std::uint8_t> stream,
                                                   std::uint32_t& requested) {
  QUORVANE_TRY(const QuorvaneHeader header, QuorvaneHeader::from_bytes(stream));
  requested = header.sample_count;

  if (header.sample_count > kMaxSampleCount) {
    return Err{failed("Can't decompress data bigger than " + std::to_string(kMaxSampleCount) +
                      ", but data was " + std::to_string(header.sample_count))};
  }
  if (header.levels > kMaxDecoderLevels) {
    return Err{failed("Max supported level is " + std::to_string(kMaxDecoderLevels) +
                      " but it was " + std::to_string(header.levels))};
  }
  if (header.levels == 0) {
    return Err{failed("Min supported level is 1 but it was " + std::to_string(header.levels))};
  }
  // The parser already refuses unknown methods and coder ids; both checks stay
  // here, where the decoder's order of checks puts them.
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

  // The decoded values are released as soon as the transform has read them.
  std::vector<float> samples;
  if (header.coder == kCoderBands) {
    QUORVANE_TRY(const UninitializedVector<float> coefficients,
                 decode_band_coefficients(payload, header, sizes, coefficient_count));
    QUORVANE_TRY(samples, reconstruct(coefficients, *executor, sizes));
  } else if (header.coder == kCoderArans) {
    auto decoded = arans::decode_stream(payload);
    if (!decoded.ok()) {
      if (decoded.error() == arans::AransError::OutOfMemory) {
        return Err{QuorvaneError::out_of_memory(header.sample_count)};
      }
      return Err{failed(std::string(arans::message(decoded.error())))};
    }
    QUORVANE_TRY(samples, reconstruct_from_bytes(decoded.value(), header, *method, *executor,
                                                 sizes, coefficient_count));
  } else {
    auto inflated = inflate_raw(payload, 2 * coefficient_count);
    if (!inflated.ok()) return Err{failed(inflated.error())};
    QUORVANE_TRY(samples, reconstruct_from_bytes(inflated.value(), header, *method, *executor,
                                                 sizes, coefficient_count));
  }

  // out = (y + mean) * range + min, the sums rounded on their own and the
  // multiply-add fused. A sample within the quantiser's error of the largest
  // float can round past it; it is clamped to the largest finite value rather
  // than returned as infinity. Every finite result is unchanged.
  // The transform may return one sample more (odd lengths) or, for padded
  // short signals, up to the filter length: exactly sample_count are kept,
  // and only those are denormalised.
  const std::size_t kept = std::min<std::size_t>(samples.size(), header.sample_count);
  kernels::sample_kernels().denormalize(samples.data(), kept, header.mean,
                                        header.max - header.min, header.min);
  samples.resize(header.sample_count, 0.0f);
  return samples;
}

}  // namespace

CodecResult<std::vector<float>> decompress(std::span<const std::uint8_t> stream) {
  std::uint32_t requested = 0;
  try {
    return decompress_checked(stream, requested);
  } catch (const std::bad_alloc&) {
    // A working buffer could not be obtained; the caller decides what that
    // means (the Python module raises MemoryError). The count is the number
    // of samples the stream asked for.
    return Err{QuorvaneError::out_of_memory(requested)};
  }
}

}  // namespace quorvane::codec
