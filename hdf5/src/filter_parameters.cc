#include "filter_parameters.h"

#include <string>

namespace quorvane::hdf5 {
namespace {

FilterError error(std::string text) { return FilterError{std::move(text)}; }

std::string value_text(const char* name, unsigned value, const char* allowed) {
  return std::string("quorvane filter: ") + name + " " + std::to_string(value) + " is not one of " + allowed;
}

}  // namespace

FilterResult<WriterChoice> parse_user_values(std::span<const unsigned> values) {
  WriterChoice choice{codec::kDefaultCodecOptions, false};
  codec::CodecOptions& options = choice.options;
  const auto given = [&](std::size_t index) { return index < values.size(); };
  if (given(QUORVANE_H5Z_INDEX_LAYOUT) && values[QUORVANE_H5Z_INDEX_LAYOUT] != QUORVANE_H5Z_LAYOUT_VERSION) {
    return Err{error("quorvane filter: parameter layout " + std::to_string(values[QUORVANE_H5Z_INDEX_LAYOUT]) +
                     " is unknown to this filter, which reads layout " +
                     std::to_string(QUORVANE_H5Z_LAYOUT_VERSION) + "; a newer quorvane is needed")};
  }
  if (given(QUORVANE_H5Z_INDEX_METHOD)) {
    const unsigned method = values[QUORVANE_H5Z_INDEX_METHOD];
    if (method > 3) return Err{error(value_text("method", method, "0 (cdf53), 1 (cdf97), 2 (db4), 3 (sym4)"))};
    options.method = static_cast<codec::WaveletMethod>(method);
  }
  if (given(QUORVANE_H5Z_INDEX_SCALE)) {
    const unsigned scale = values[QUORVANE_H5Z_INDEX_SCALE];
    if (scale < codec::kMinScale || scale > codec::kMaxScale) {
      return Err{error(value_text("scale", scale, "6..12"))};
    }
    options.scale = static_cast<std::uint8_t>(scale);
  }
  if (given(QUORVANE_H5Z_INDEX_CUTOFF)) {
    const unsigned cutoff = values[QUORVANE_H5Z_INDEX_CUTOFF];
    if (cutoff > 2) return Err{error(value_text("cut-off", cutoff, "0 (low), 1 (medium), 2 (high)"))};
    options.cutoff = static_cast<codec::CutoffLevel>(cutoff);
  }
  if (given(QUORVANE_H5Z_INDEX_CODER)) {
    const unsigned coder = values[QUORVANE_H5Z_INDEX_CODER];
    if (coder > kBandCoderValue) {
      return Err{error(value_text("coder", coder, "0 (deflate), 1 (arans), 2 (auto), 3 (bands)"))};
    }
    // Coder 2 codes the payload of the reference pipeline; the options keep
    // their default coder, which it replaces.
    choice.band_coder = coder == kBandCoderValue;
    if (!choice.band_coder) options.coder = static_cast<codec::EntropyCoder>(coder);
  }
  if (given(QUORVANE_H5Z_INDEX_TARGET_KIND) && values[QUORVANE_H5Z_INDEX_TARGET_KIND] != 0) {
    return Err{error("quorvane filter: quality target kind " +
                     std::to_string(values[QUORVANE_H5Z_INDEX_TARGET_KIND]) +
                     " is not supported by this filter; give a scale instead")};
  }
  return choice;
}

FilterResult<FilterParameters> parse_stored_values(std::span<const unsigned> values) {
  if (values.size() < kValueCount) {
    return Err{error("quorvane filter: the dataset stores " + std::to_string(values.size()) +
                     " filter parameters, " + std::to_string(kValueCount) + " are needed")};
  }
  auto choice = parse_user_values(values.first(kUserValueCount));
  if (!choice) return Err{choice.error()};
  FilterParameters parameters{choice.value().options, {}, choice.value().band_coder};
  const unsigned element_size = values[QUORVANE_H5Z_INDEX_ELEMENT_SIZE];
  if (element_size != 4 && element_size != 8) {
    return Err{error(value_text("element size", element_size, "4, 8"))};
  }
  const unsigned big_endian = values[QUORVANE_H5Z_INDEX_BIG_ENDIAN];
  if (big_endian > 1) return Err{error(value_text("byte order", big_endian, "0 (little), 1 (big)"))};
  const unsigned chunk_samples = values[QUORVANE_H5Z_INDEX_CHUNK_SAMPLES];
  if (chunk_samples == 0 || chunk_samples > 2147483647u) {
    return Err{error(value_text("chunk size", chunk_samples, "1..2147483647 elements"))};
  }
  parameters.layout = ChunkLayout{element_size, big_endian == 1, chunk_samples};
  return parameters;
}

std::array<unsigned, kValueCount> stored_values(const FilterParameters& parameters) {
  std::array<unsigned, kValueCount> values{};
  const auto& options = parameters.options;
  values[QUORVANE_H5Z_INDEX_LAYOUT] = QUORVANE_H5Z_LAYOUT_VERSION;
  values[QUORVANE_H5Z_INDEX_METHOD] = static_cast<unsigned>(options.method);
  values[QUORVANE_H5Z_INDEX_SCALE] = options.scale;
  values[QUORVANE_H5Z_INDEX_CUTOFF] = static_cast<unsigned>(options.cutoff);
  values[QUORVANE_H5Z_INDEX_CODER] =
      parameters.band_coder ? kBandCoderValue : static_cast<unsigned>(options.coder);
  values[QUORVANE_H5Z_INDEX_TARGET_KIND] = 0;
  values[QUORVANE_H5Z_INDEX_TARGET_VALUE] = 0;
  values[QUORVANE_H5Z_INDEX_ELEMENT_SIZE] = parameters.layout.element_size;
  values[QUORVANE_H5Z_INDEX_BIG_ENDIAN] = parameters.layout.big_endian ? 1 : 0;
  values[QUORVANE_H5Z_INDEX_CHUNK_SAMPLES] = parameters.layout.chunk_samples;
  return values;
}

}  // namespace quorvane::hdf5
