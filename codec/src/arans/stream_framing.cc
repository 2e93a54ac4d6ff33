#include <limits>
#include <new>
#include <stdexcept>

#include "plane_coder.h"
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

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
  const std::size_t n = input.size();
  if (n <= kMaxRawLength) return std::vector<std::uint8_t>(input.begin(), input.end());

  const std::size_t h = n >> 1;
  std::vector<std::uint8_t> even(h), odd(h);
  for (std::size_t k = 0; k < h; ++k) {
    even[k] = input[2 * k];
    odd[k] = input[2 * k + 1];
  }
  const unsigned context_bits = n < kWideContextFrom ? 3 : 8;
  const std::vector<std::uint8_t> coded_even = encode_plane(even, context_bits);
  const std::vector<std::uint8_t> coded_odd = encode_plane(odd, context_bits);

  std::vector<std::uint8_t> out;
  out.reserve(coded_even.size() + coded_odd.size() + 16);
  out.push_back(static_cast<std::uint8_t>(n & 1));
  out.push_back(static_cast<std::uint8_t>(context_bits));
  write_leb128(out, h);
  write_leb128(out, coded_even.size());
  out.insert(out.end(), coded_even.begin(), coded_even.end());
  out.insert(out.end(), coded_odd.begin(), coded_odd.end());
  if (n & 1) out.push_back(input[n - 1]);
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

  // One output buffer only. It grows while the even plane decodes, so a
  // stream that declares many pairs but cannot supply them fails before
  // memory for all of them is taken; once that plane has proven itself, its
  // bytes are spread to the even positions and the odd plane is decoded
  // straight into the gaps.
  std::vector<std::uint8_t> out;
  try {
    out.reserve(std::min<std::size_t>(pairs, coded_even.size() * 8 + 1024));
    QUORVANE_TRY_STATUS(decode_plane_into(coded_even, pairs, context_bits,
                                          [&out](std::size_t, std::uint8_t b) { out.push_back(b); }));
    out.resize(2 * pairs + trailing);
  } catch (const std::bad_alloc&) {
    return Err{AransError::OutOfMemory};
  } catch (const std::length_error&) {
    return Err{AransError::OutOfMemory};
  }
  // Backwards, so that no even byte is overwritten before it has moved.
  for (std::size_t k = pairs; k-- > 0;) out[2 * k] = out[k];
  QUORVANE_TRY_STATUS(decode_plane_into(coded_odd, pairs, context_bits,
                                        [&out](std::size_t k, std::uint8_t b) { out[2 * k + 1] = b; }));
  if (trailing) out[2 * pairs] = stream[length - 1];
  return out;
}

}  // namespace quorvane::arans
