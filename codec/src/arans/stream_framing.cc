#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "plane_coder.h"
#include "plane_encoder.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {
namespace {

constexpr std::size_t kMaxRawLength = 5;      // shorter inputs are stored as they are
constexpr std::size_t kWideContextFrom = 16384;  // input bytes from which c = 8
constexpr std::uint64_t kMaxPairs = std::uint64_t{1} << 28;

void write_leb128(std::vector<std::uint8_t>& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace

AransResult<std::uint64_t> rv(std::span<const std::uint8_t> stream, std::size_t& position) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (position >= stream.size()) return Err{AransError::Truncated};
    const std::uint8_t byte = stream[position++];
    if (i == 9) {
      // Only bit 63 is left for the tenth byte; a continuation would exceed 64 bits.
      if (byte & 0x80) return Err{AransError::Inconsistent};
      return value | (static_cast<std::uint64_t>(byte & 1) << 63);
    }
    value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if (!(byte & 0x80)) return value;
  }
  return value;  // not reached: the tenth byte always ends the value
}

void append_stream(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
  const std::size_t n = input.size();
  if (n <= kMaxRawLength) {
    out.insert(out.end(), input.begin(), input.end());
    return;
  }

  // Plane A is the bytes at even positions, plane B those at odd positions,
  // both read in place.
  const std::size_t h = n >> 1;
  const unsigned context_bits = n < kWideContextFrom ? 3 : 8;
  const auto coded = encode_planes<2>({input.data(), input.data() + 1}, 2, h, context_bits);
  const std::span<const std::uint8_t> coded_even = coded[0].bytes();
  const std::span<const std::uint8_t> coded_odd = coded[1].bytes();

  out.reserve(out.size() + coded_even.size() + coded_odd.size() + 24);
  out.push_back(static_cast<std::uint8_t>(n & 1));
  out.push_back(static_cast<std::uint8_t>(context_bits));
  write_leb128(out, h);
  write_leb128(out, coded_even.size());
  out.insert(out.end(), coded_even.begin(), coded_even.end());
  out.insert(out.end(), coded_odd.begin(), coded_odd.end());
  if (n & 1) out.push_back(input[n - 1]);
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> out;
  append_stream(input, out);
  return out;
}

AransResult<std::vector<std::uint8_t>> decode_stream(std::span<const std::uint8_t> stream) {
  const std::size_t length = stream.size();
  if (length <= kMaxRawLength) return std::vector<std::uint8_t>(stream.begin(), stream.end());

  const std::uint8_t flag = stream[0];
  const unsigned context_bits = stream[1];
  if (context_bits > kMaxContextBits) return Err{AransError::Inconsistent};
  std::size_t position = 2;
  QUORVANE_TRY(const std::uint64_t h, rv(stream, position));
  if (h > kMaxPairs) return Err{AransError::Inconsistent};
  QUORVANE_TRY(const std::uint64_t even_length, rv(stream, position));
  const std::uint64_t even_start = position;
  if (even_length > std::numeric_limits<std::uint64_t>::max() - even_start) {
    return Err{AransError::Inconsistent};
  }
  const std::uint64_t even_end = even_start + even_length;
  const std::size_t trailing = flag & 1;
  if (length - trailing < even_end) return Err{AransError::Truncated};

  const auto pairs = static_cast<std::size_t>(h);
  const std::span<const std::uint8_t> coded_even =
      stream.subspan(even_start, static_cast<std::size_t>(even_length));
  const std::span<const std::uint8_t> coded_odd =
      stream.subspan(static_cast<std::size_t>(even_end), length - trailing - even_end);

  std::vector<std::uint8_t> out;
  if (pairs > 0) {
    if (coded_even.size() < 4 || coded_odd.size() < 4) return Err{AransError::Truncated};
    try {
      // Both planes decode side by side, their bytes going straight to their
      // positions. The buffer grows with the pairs actually decoded, so a
      // stream that declares many pairs but cannot supply them fails before
      // memory for all of them is taken. Either plane running out is
      // Truncated, the same error whichever plane it is.
      std::size_t room = std::min(pairs, (coded_even.size() + coded_odd.size()) * 8 + 1024);
      out.resize(2 * room + (room == pairs ? trailing : 0));
      PlaneDecoder even(coded_even, context_bits);
      PlaneDecoder odd(coded_odd, context_bits);
      for (std::size_t done = 0; done < pairs;) {
        if (done == room) {
          room = std::min(pairs, 2 * room);
          out.resize(2 * room + (room == pairs ? trailing : 0));
        }
        if (!decode_side_by_side<2>({&even, &odd}, out.data() + 2 * done, room - done)) {
          return Err{AransError::Truncated};
        }
        done = room;
      }
    } catch (const std::bad_alloc&) {
      return Err{AransError::OutOfMemory};
    } catch (const std::length_error&) {
      return Err{AransError::OutOfMemory};
    }
  }
  try {
    out.resize(2 * pairs + trailing);
  } catch (const std::bad_alloc&) {
    return Err{AransError::OutOfMemory};
  }
  if (trailing) out[2 * pairs] = stream[length - 1];
  return out;
}

}  // namespace quorvane::arans
