// One HDF5 chunk <-> one quorvane stream. The chunk, of any rank, arrives
// flattened in memory order; its elements are float32 or float64 in the
// dataset's byte order. float64 is narrowed to float32 for the codec and
// widened back when read. A chunk holding NaN or infinities gets a trailer
// after the stream recording where they were (trailer.h); every other chunk
// is a bare stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "filter_parameters.h"

namespace quorvane::hdf5 {

// The compressed stream of one chunk of `raw.size()` bytes.
FilterResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                     const FilterParameters& parameters);

// Bytes of one decoded chunk.
std::size_t decoded_chunk_size(const ChunkLayout& layout);

// The samples of one stored chunk, checked against the dataset's layout.
FilterResult<std::vector<float>> decode_samples(std::span<const std::uint8_t> stream, const ChunkLayout& layout);

// Writes decoded samples in the dataset's element type and byte order into
// `out`, which holds exactly decoded_chunk_size bytes.
void store_samples(std::span<const float> samples, const ChunkLayout& layout, std::span<std::uint8_t> out);

// decode_samples, then store_samples; `out` is left unspecified on failure.
FilterResult<void> decode_chunk(std::span<const std::uint8_t> stream, const ChunkLayout& layout,
                                std::span<std::uint8_t> out);

}  // namespace quorvane::hdf5
