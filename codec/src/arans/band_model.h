// The model of the band coder, shared by both directions so that they cannot
// drift apart: counters, contexts and the binarisation of one value.
//
// A value v of a band is coded as its bit length L = bitlen(|v|) in unary
// ("L > k" for k = 0, 1, ..., stopping at the first 0 or after 16 ones), the
// L - 1 bits below the leading one (most significant first) and a sign bit
// (1 = negative). L = 16 can only be -32768, so it has neither.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace quorvane::arans::bands {

inline constexpr std::uint32_t kProbabilityBits = 16;
inline constexpr std::uint32_t kProbabilityTotal = 1u << kProbabilityBits;  // 65536
inline constexpr std::uint32_t kStateLowerBound = 1u << 16;
inline constexpr unsigned kMaxLength = 16;          // bit length of 32768
inline constexpr unsigned kMagnitudeContexts = 12;  // bitlen of the activity, capped at 11
inline constexpr unsigned kSignContexts = 9;
inline constexpr unsigned kSlowestRate = 5;

// An adaptive binary probability: p is the chance of a 0 bit in units of
// 2^-16, n the number of updates so far (capped). The rate starts at 1/2 and
// slows to 1/32 after five updates, so sparse contexts learn quickly.
// p stays within 1..65535: a step never crosses the distance it closes.
struct Counter {
  std::uint16_t p = kProbabilityTotal / 2;
  std::uint16_t n = 0;

  // Without branches: the bits of mantissas and signs are close to random,
  // and a branch on them would be mispredicted about half the time.
  void update(unsigned bit) {
    const std::uint32_t rate = n + (n < kSlowestRate ? 1u : 0u);  // also the new n
    const std::uint32_t v = p;
    const std::uint32_t one_mask = 0u - bit;
    n = static_cast<std::uint16_t>(rate);
    p = static_cast<std::uint16_t>(v + (((kProbabilityTotal - v) >> rate) & ~one_mask) - ((v >> rate) & one_mask));
  }
};

// The counters of one group of bands (the approximation band has its own
// group; every detail band shares the other).
struct BandModel {
  std::array<Counter, kMagnitudeContexts * kMaxLength> length{};  // [context][k]
  std::array<Counter, kMaxLength * kMaxLength> mantissa{};        // [L][position], L <= 15
  std::array<Counter, kSignContexts> sign{};                      // [3 * previous + parent]
};

inline std::uint32_t magnitude(std::int32_t v) { return static_cast<std::uint32_t>(v < 0 ? -v : v); }
// bitlen(m) for m < 2^31, as the index of the top bit of 2m + 1: a bit
// scan that needs no test for zero (std::bit_width branches on it, and
// whether a magnitude or activity is zero is close to random).
inline unsigned bit_length(std::uint32_t m) { return static_cast<unsigned>(std::bit_width((2 * m) | 1u)) - 1u; }
// 0 for zero, 1 for positive, 2 for negative, without a branch.
inline unsigned sign_class(std::int32_t v) {
  return static_cast<unsigned>(v != 0) + (static_cast<std::uint32_t>(v) >> 31);
}

// Magnitude context from the activity 4|s[j-1]| + 2|s[j-2]| + 2|P[j/2]| +
// |P[nearer neighbour]| (at most 9 * 32768 < 2^19), as its bit length capped at 11.
inline unsigned magnitude_context(std::uint32_t previous1, std::uint32_t previous2,
                                  std::uint32_t parent_activity) {
  const std::uint32_t activity = 4 * previous1 + 2 * previous2 + parent_activity;
  return std::min(bit_length(activity), kMagnitudeContexts - 1);
}

// Codes one value through `coder`, whose code(counter, bit) codes `bit` when
// encoding and returns the decoded bit when decoding (ignoring its argument).
// Returns the value (the decoded one when decoding).
template <class Coder>
inline std::int32_t code_value(Coder& coder, BandModel& model, unsigned context,
                               unsigned sign_context, std::int32_t value) {
  const std::uint32_t m = magnitude(value);
  const unsigned target_length = bit_length(m);
  Counter* length_counters = &model.length[context * kMaxLength];
  unsigned length = 0;
  while (length < kMaxLength && coder.code(length_counters[length], target_length > length)) ++length;
  if (length == 0) return 0;
  if (length == kMaxLength) return -32768;
  std::uint32_t decoded = 1;
  Counter* mantissa_counters = &model.mantissa[length * kMaxLength];
  for (unsigned position = 0; position + 1 < length; ++position) {
    const unsigned bit = (m >> (length - 2 - position)) & 1u;
    decoded = (decoded << 1) | coder.code(mantissa_counters[position], bit);
  }
  const unsigned negative = coder.code(model.sign[sign_context], value < 0);
  return negative ? -static_cast<std::int32_t>(decoded) : static_cast<std::int32_t>(decoded);
}

}  // namespace quorvane::arans::bands
