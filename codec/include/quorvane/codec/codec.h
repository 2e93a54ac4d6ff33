// The codec's entry points: a float32 signal to a self-contained stream
// (52-byte header, then the entropy-coded payload) and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvane/codec/error.h"
#include "quorvane/codec/options.h"

namespace quorvane::codec {

// The most samples a stream can hold: its header's sample count is read as a
// signed 32-bit value by decoders.
inline constexpr std::size_t kMaxSampleCount = 2147483647;

// Exhaustion of memory travels one way inside the codec: an allocation that
// fails throws std::bad_alloc (zlib's own allocations included), which
// compress and decompress catch once and return as OutOfMemory; a subsystem
// that reports exhaustion as a value (the rANS decoder) has it turned into
// OutOfMemory where it is called. Nothing is thrown out of these functions.

// Compresses `samples`. Every failure, including exhaustion of memory for a
// working buffer (OutOfMemory), comes back as a value.
CodecResult<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                                const CodecOptions& options);

// Decompresses a stream into exactly its header's sample count of samples.
// Bytes after the payload are ignored.
CodecResult<std::vector<float>> decompress(std::span<const std::uint8_t> stream);

// Level count for signals of 80 samples or more: floor(log2(length / filter
// length)) clamped into 1..8, and 1 when length < filter length.
std::size_t compute_max_levels(std::size_t length, std::size_t filter_length);

}  // namespace quorvane::codec
