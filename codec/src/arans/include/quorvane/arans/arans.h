// The adaptive binary rANS coder: a lossless coder for the coefficient bytes.
// A plane is coded bit by bit with 12-bit adaptive probabilities and a 32-bit
// rANS state moved 16 bits at a time; a stream splits its input into two byte
// planes (even and odd positions) and frames them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quorvane/result.h"

namespace quorvane::arans {

// OutOfMemory: the decoded bytes could not be given memory. It is not a
// property of the stream, so it is kept apart from Inconsistent, which means
// the stream itself is wrong.
enum class AransError : std::uint8_t { Truncated, Inconsistent, OutOfMemory };

constexpr std::string_view message(AransError error) {
  switch (error) {
    case AransError::Truncated:
      return "Stream truncated";
    case AransError::Inconsistent:
      return "Inconsistent or oversized length in stream";
    case AransError::OutOfMemory:
      return "Out of memory for the decoded stream";
  }
  return "Unknown rANS error";
}

template <class T>
using AransResult = Result<T, AransError>;

// Codes one plane with `context_bits` (0..8) of the previous byte as context.
std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> data, unsigned context_bits);
// Decodes exactly `count` bytes of a plane coded with the same context bits.
AransResult<std::vector<std::uint8_t>> decode_plane(std::span<const std::uint8_t> coded,
                                                    std::size_t count, unsigned context_bits);

// Frames a whole payload: raw for 1..5 bytes, two coded planes from 6 on.
std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input);
// The same stream appended to `out`, so that a caller's header and the
// stream share one buffer.
void append_stream(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);
AransResult<std::vector<std::uint8_t>> decode_stream(std::span<const std::uint8_t> stream);

// Reads one unsigned LEB128 value at `position` and advances past it.
AransResult<std::uint64_t> rv(std::span<const std::uint8_t> stream, std::size_t& position);

}  // namespace quorvane::arans
