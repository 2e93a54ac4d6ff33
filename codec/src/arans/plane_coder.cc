#include <algorithm>
#include <new>
#include <stdexcept>

#include "plane_coder.h"
#include "probability_model.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> data, unsigned context_bits) {
  if (data.empty()) return {};

  // rANS codes in reverse, so the model pass records every decision's
  // interval first: frequency in the low half, start in the high half.
  std::vector<std::uint32_t> intervals;
  intervals.reserve(data.size() * 8);
  ProbabilityModel model(context_bits);
  std::uint8_t previous = 0;
  for (const std::uint8_t byte : data) {
    const std::size_t base = model.context_base(previous);
    std::uint32_t node = 1;
    for (int b = 7; b >= 0; --b) {
      const unsigned bit = (byte >> b) & 1u;
      std::uint16_t& p = model.probability(base + node);
      const std::uint32_t frequency = bit ? kProbabilityTotal - p : p;
      const std::uint32_t start = bit ? p : 0u;
      intervals.push_back(frequency | (start << 16));
      ProbabilityModel::update(p, bit);
      node = node * 2 + bit;
    }
    previous = byte;
  }

  // Coding pass, back to front; the buffer is reversed at the end so that it
  // reads in decoding order.
  std::vector<std::uint8_t> out;
  out.reserve(data.size());
  std::uint32_t x = kStateLowerBound;
  for (auto it = intervals.rbegin(); it != intervals.rend(); ++it) {
    const std::uint32_t frequency = *it & 0xFFFF;
    const std::uint32_t start = *it >> 16;
    while (x >= (frequency << 20)) {
      out.push_back(static_cast<std::uint8_t>((x >> 8) & 0xFF));
      out.push_back(static_cast<std::uint8_t>(x & 0xFF));
      x >>= 16;
    }
    x = (x / frequency) * kProbabilityTotal + (x % frequency) + start;
  }
  out.push_back(static_cast<std::uint8_t>(x >> 24));
  out.push_back(static_cast<std::uint8_t>((x >> 16) & 0xFF));
  out.push_back(static_cast<std::uint8_t>((x >> 8) & 0xFF));
  out.push_back(static_cast<std::uint8_t>(x & 0xFF));
  std::reverse(out.begin(), out.end());
  return out;
}

AransResult<std::vector<std::uint8_t>> decode_plane(std::span<const std::uint8_t> coded,
                                                    std::size_t count, unsigned context_bits) {
  std::vector<std::uint8_t> out;
  if (count == 0) return out;
  try {
    // The buffer grows with the bytes actually decoded instead of trusting
    // `count` up front.
    out.reserve(std::min(count, coded.size() * 8 + 1024));
    auto status = decode_plane_into(coded, count, context_bits,
                                    [&out](std::size_t, std::uint8_t byte) { out.push_back(byte); });
    if (!status.ok()) return Err{status.error()};
  } catch (const std::bad_alloc&) {
    return Err{AransError::Inconsistent};
  } catch (const std::length_error&) {
    return Err{AransError::Inconsistent};
  }
  return out;
}

}  // namespace quorvane::arans
