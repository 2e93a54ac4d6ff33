#include <algorithm>
#include <new>
#include <stdexcept>

#include "plane_coder.h"
#include "probability_model.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {

namespace {

// x / frequency for a 32-bit state without a hardware division (which
// would sit on the coder's serial dependency chain): the high half of x times
// ceil(2^64 / frequency). For x < 2^32 the product overshoots x / frequency by
// less than 2^-32, never enough to reach the next integer, so the quotient is
// the exact integer one.
__extension__ typedef unsigned __int128 Wide;

struct Reciprocals {
  std::uint64_t of[kProbabilityTotal];
  Reciprocals() {
    of[0] = of[1] = 0;  // frequency 1 is handled apart: its quotient is x
    for (std::uint32_t f = 2; f < kProbabilityTotal; ++f) of[f] = ~std::uint64_t{0} / f + 1;
  }
};

inline std::uint32_t divide(std::uint32_t x, std::uint32_t frequency, const Reciprocals& reciprocals) {
  if (frequency == 1) return x;
  const Wide product = static_cast<Wide>(x) * reciprocals.of[frequency];
  return static_cast<std::uint32_t>(product >> 64);
}

}  // namespace

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> data, unsigned context_bits) {
  if (data.empty()) return {};

  // rANS codes in reverse, so the model pass records every decision first:
  // the probability before its update (12 bits) and the bit (bit 15). Both
  // the frequency and the start of the interval follow from them.
  std::vector<std::uint16_t> decisions(data.size() * 8);
  ProbabilityModel model(context_bits);
  std::uint8_t previous = 0;
  std::size_t d = 0;
  for (const std::uint8_t byte : data) {
    const std::size_t base = model.context_base(previous);
    std::uint32_t node = 1;
    for (int b = 7; b >= 0; --b) {
      const unsigned bit = (byte >> b) & 1u;
      std::uint16_t& p = model.probability(base + node);
      decisions[d++] = static_cast<std::uint16_t>(p | (bit << 15));
      ProbabilityModel::update(p, bit);
      node = node * 2 + bit;
    }
    previous = byte;
  }

  // Coding pass, back to front; the buffer is reversed at the end so that it
  // reads in decoding order. The bits are close to random, so the interval
  // is chosen without a branch; at most one 16-bit word leaves the state per
  // decision, and the buffer is grown ahead of the writes.
  static const Reciprocals reciprocals;
  std::vector<std::uint8_t> out(data.size() + 64);
  std::size_t written = 0;
  std::uint32_t x = kStateLowerBound;
  for (std::size_t i = decisions.size(); i-- > 0;) {
    const std::uint32_t p = decisions[i] & 0x0FFF;
    const std::uint32_t one_mask = 0u - static_cast<std::uint32_t>(decisions[i] >> 15);
    // 0 bit: frequency p, start 0; 1 bit: frequency 4096 - p, start p.
    const std::uint32_t frequency = p + (one_mask & (kProbabilityTotal - 2 * p));
    const std::uint32_t start = p & one_mask;
    if (x >= (frequency << 20)) {
      if (out.size() - written < 2) out.resize(out.size() * 2);
      out[written] = static_cast<std::uint8_t>((x >> 8) & 0xFF);
      out[written + 1] = static_cast<std::uint8_t>(x & 0xFF);
      written += 2;
      x >>= 16;
    }
    // (x div f) * 4096 + (x mod f) + start, with x mod f = x - q * f.
    const std::uint32_t quotient = divide(x, frequency, reciprocals);
    x = x + quotient * (kProbabilityTotal - frequency) + start;
  }
  out.resize(written);
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
    return Err{AransError::OutOfMemory};
  } catch (const std::length_error&) {
    return Err{AransError::OutOfMemory};
  }
  return out;
}

}  // namespace quorvane::arans
