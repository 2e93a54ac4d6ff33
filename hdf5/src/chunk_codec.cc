#include "chunk_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"

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

FilterError non_finite(double value, std::size_t index) {
  const char* what = std::isnan(value) ? "NaN" : (value > 0 ? "+inf" : "-inf");
  return FilterError{std::string("quorvane filter: ") + what + " at element " + std::to_string(index) +
                     " of a chunk; the filter stores finite values only"};
}

// The chunk as float32 samples; refuses what the codec would change silently.
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
      const float value = std::bit_cast<float>(load_word<std::uint32_t>(raw.data() + 4 * i, swap));
      if (!std::isfinite(value)) return Err{non_finite(value, i)};
      samples[i] = value;
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const double value = std::bit_cast<double>(load_word<std::uint64_t>(raw.data() + 8 * i, swap));
      if (!std::isfinite(value)) return Err{non_finite(value, i)};
      const float narrowed = static_cast<float>(value);
      if (!std::isfinite(narrowed)) {
        return Err{FilterError{"quorvane filter: " + number_text(value) + " at element " + std::to_string(i) +
                               " of a chunk is outside the float32 range the codec works in"}};
      }
      samples[i] = narrowed;
    }
  }
  return samples;
}

}  // namespace

FilterResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                     const FilterParameters& parameters) {
  auto samples = read_samples(raw, parameters.layout);
  if (!samples) return Err{samples.error()};
  auto stream = codec::compress(samples.value(), parameters.options);
  if (!stream) return Err{FilterError{"quorvane filter: " + stream.error().message()}};
  return std::move(stream).value();
}

std::size_t decoded_chunk_size(const ChunkLayout& layout) {
  return static_cast<std::size_t>(layout.chunk_samples) * layout.element_size;
}

FilterResult<void> decode_chunk(std::span<const std::uint8_t> stream, const ChunkLayout& layout,
                                std::span<std::uint8_t> out) {
  // A stream that claims another sample count is refused before the decoder
  // allocates for it.
  if (auto header = codec::QuorvaneHeader::from_bytes(stream);
      header && header.value().sample_count != layout.chunk_samples) {
    return Err{FilterError{"quorvane filter: the stored stream holds " +
                           std::to_string(header.value().sample_count) + " samples, the dataset's chunks hold " +
                           std::to_string(layout.chunk_samples)}};
  }
  auto decoded = codec::decompress(stream);
  if (!decoded) return Err{FilterError{"quorvane filter: " + decoded.error().message()}};
  const std::vector<float>& samples = decoded.value();
  if (samples.size() != layout.chunk_samples || out.size() != decoded_chunk_size(layout)) {
    return Err{FilterError{"quorvane filter: a chunk decoded to " + std::to_string(samples.size()) +
                           " samples, the dataset's chunks hold " + std::to_string(layout.chunk_samples)}};
  }
  const bool swap = needs_swap(layout);
  if (layout.element_size == 4) {
    if (!swap) {
      std::memcpy(out.data(), samples.data(), out.size());
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
  return {};
}

}  // namespace quorvane::hdf5
