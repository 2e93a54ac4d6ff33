#include "chunk_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "quorvane/codec/band_payload.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "trailer.h"

namespace quorvane::hdf5 {
namespace {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

// std::byteswap is C++23.
template <class Word>
Word swapped(Word word) {
  Word out = 0;
  for (std::size_t i = 0; i < sizeof word; ++i) {
    out = static_cast<Word>((out << 8) | ((word >> (8 * i)) & 0xFF));
  }
  return out;
}

template <class Word>
Word load_word(const std::uint8_t* bytes, bool swap) {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  return swap ? swapped(word) : word;
}

template <class Word>
void store_word(std::uint8_t* bytes, Word word, bool swap) {
  if (swap) word = swapped(word);
  std::memcpy(bytes, &word, sizeof word);
}

bool needs_swap(const ChunkLayout& layout) {
  return layout.big_endian != (std::endian::native == std::endian::big);
}

std::string number_text(double value) {
  std::ostringstream text;
  text.precision(17);
  text << value;
  return text.str();
}

// The chunk as float32 samples; refuses finite float64 values that float32
// cannot hold rather than change them.
FilterResult<std::vector<float>> read_samples(std::span<const std::uint8_t> raw, const ChunkLayout& layout) {
  const std::size_t size = layout.element_size;
  if (raw.size() % size != 0) {
    return Err{FilterError{"quorvane filter: a chunk of " + std::to_string(raw.size()) +
                           " bytes is not a whole number of " + std::to_string(size) + "-byte elements"}};
  }
  const std::size_t count = raw.size() / size;
  const bool swap = needs_swap(layout);
  std::vector<float> samples(count);
  if (size == 4) {
    for (std::size_t i = 0; i < count; ++i) {
      samples[i] = std::bit_cast<float>(load_word<std::uint32_t>(raw.data() + 4 * i, swap));
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const double value = std::bit_cast<double>(load_word<std::uint64_t>(raw.data() + 8 * i, swap));
      const float narrowed = static_cast<float>(value);
      if (std::isinf(narrowed) && std::isfinite(value)) {
        return Err{FilterError{"quorvane filter: " + number_text(value) + " at element " + std::to_string(i) +
                               " of a chunk is outside the float32 range the codec works in"}};
      }
      samples[i] = narrowed;
    }
  }
  return samples;
}

TrailerDtype trailer_dtype(const ChunkLayout& layout) {
  return layout.element_size == 8 ? TrailerDtype::float64 : TrailerDtype::float32;
}

FilterResult<std::vector<std::uint8_t>> compress_samples(std::span<const float> samples,
                                                         const FilterParameters& parameters) {
  auto stream = parameters.band_coder ? codec::compress_with_band_coder(samples, parameters.options)
                                      : codec::compress(samples, parameters.options);
  if (!stream) return Err{FilterError{"quorvane filter: " + stream.error().message()}};
  return std::move(stream).value();
}

// Decoded samples of a chunk: from the stream, or only from the trailer's
// runs when the stream is a placeholder.
}  // namespace

FilterResult<std::vector<float>> decode_samples(std::span<const std::uint8_t> stream, const ChunkLayout& layout) {
  auto header = codec::QuorvaneHeader::from_bytes(stream);
  if (!header) return Err{FilterError{"quorvane filter: " + header.error().message()}};
  auto trailer = read_trailer(stream, header.value());
  if (!trailer) return Err{trailer.error()};
  if (trailer.value().dtype && trailer.value().dtype != trailer_dtype(layout)) {
    return Err{FilterError{std::string("quorvane filter: the chunk's trailer records ") +
                           (trailer.value().dtype == TrailerDtype::float64 ? "float64" : "float32") +
                           " samples, the dataset holds " + (layout.element_size == 8 ? "float64" : "float32")}};
  }
  // A stream that claims another sample count is refused before the decoder
  // allocates for it.
  const std::uint32_t count = trailer.value().placeholder_samples.value_or(header.value().sample_count);
  if (count != layout.chunk_samples) {
    return Err{FilterError{"quorvane filter: the stored stream holds " + std::to_string(count) +
                           " samples, the dataset's chunks hold " + std::to_string(layout.chunk_samples)}};
  }
  std::vector<float> samples;
  if (trailer.value().placeholder_samples) {
    samples.assign(count, 0.0f);
  } else {
    auto decoded = codec::decompress(stream);
    if (!decoded) return Err{FilterError{"quorvane filter: " + decoded.error().message()}};
    samples = std::move(decoded).value();
    if (samples.size() != count) {
      return Err{FilterError{"quorvane filter: a chunk decoded to " + std::to_string(samples.size()) +
                             " samples, the dataset's chunks hold " + std::to_string(layout.chunk_samples)}};
    }
  }
  apply_runs(samples, trailer.value().runs);
  return samples;
}


FilterResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                     const FilterParameters& parameters) {
  auto read = read_samples(raw, parameters.layout);
  if (!read) return Err{read.error()};
  std::vector<float>& samples = read.value();
  const std::vector<NonFiniteRun> runs = find_non_finite(samples);
  if (runs.empty()) return compress_samples(samples, parameters);

  std::size_t non_finite = 0;
  for (const NonFiniteRun& run : runs) non_finite += run.length;
  const bool placeholder = non_finite == samples.size();
  std::vector<std::uint8_t> chunk;
  if (placeholder) {
    // Nothing finite to keep: the stream of one 0.0 stands in, and the
    // trailer gives the length, so the chunk costs a few dozen bytes.
    const float zero = 0.0f;
    auto stream = compress_samples({&zero, 1}, parameters);
    if (!stream) return Err{stream.error()};
    chunk = std::move(stream).value();
  } else {
    fill_non_finite(samples);
    auto stream = compress_samples(samples, parameters);
    if (!stream) return Err{stream.error()};
    chunk = std::move(stream).value();
  }
  const auto trailer = build_trailer(chunk, trailer_dtype(parameters.layout), runs,
                                     placeholder ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(
                                                       samples.size()))
                                                 : std::nullopt);
  chunk.insert(chunk.end(), trailer.begin(), trailer.end());
  return chunk;
}

std::size_t decoded_chunk_size(const ChunkLayout& layout) {
  return static_cast<std::size_t>(layout.chunk_samples) * layout.element_size;
}

void store_samples(std::span<const float> samples, const ChunkLayout& layout, std::span<std::uint8_t> out) {
  const bool swap = needs_swap(layout);
  if (layout.element_size == 4) {
    if (!swap) {
      std::memcpy(out.data(), samples.data(), samples.size() * 4);
    } else {
      for (std::size_t i = 0; i < samples.size(); ++i) {
        store_word(out.data() + 4 * i, std::bit_cast<std::uint32_t>(samples[i]), true);
      }
    }
  } else {
    for (std::size_t i = 0; i < samples.size(); ++i) {
      store_word(out.data() + 8 * i, std::bit_cast<std::uint64_t>(static_cast<double>(samples[i])), swap);
    }
  }
}

FilterResult<void> decode_chunk(std::span<const std::uint8_t> stream, const ChunkLayout& layout,
                                std::span<std::uint8_t> out) {
  auto decoded = decode_samples(stream, layout);
  if (!decoded) return Err{decoded.error()};
  if (out.size() != decoded_chunk_size(layout)) {
    return Err{FilterError{"quorvane filter: the output buffer does not fit the dataset's chunks"}};
  }
  store_samples(decoded.value(), layout, out);
  return {};
}

}  // namespace quorvane::hdf5
