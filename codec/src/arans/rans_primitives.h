// The arithmetic of one binary rANS decision, shared by the plane encoder and
// decoder: the probability update without clamps, the division by a
// frequency through a reciprocal, and the encoder and decoder steps with
// their renormalisation. The bits themselves never steer a branch; the
// renormalisations, rare and mostly predicted, do.
//
// The encoder writes back to front: a coded plane is built downwards from
// the end of a buffer, so that it already reads in decoding order and needs
// no reversal.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "probability_model.h"

namespace quorvane::arans {

// The model's update for probabilities reachable from the initial 2048.
// From 2048 the entries only ever take values within 15..4081: the step up
// is 0 at 4081 and the step down is 0 at 15. There ProbabilityModel::update's
// clamps to 1..4095 never act, so they are left out of the inner loops.
// Written with a mask rather than a condition, which compilers turn into a
// branch: that branch is a little faster on very compressible planes but
// far slower on noisy ones, where the bits are close to random.
constexpr std::uint32_t adapted_probability(std::uint32_t p, std::uint32_t bit) {
  const std::uint32_t one_mask = 0u - bit;
  return p + (((kProbabilityTotal - p) >> 4) & ~one_mask) - ((p >> 4) & one_mask);
}

// adapted_probability(p, bit) at index bit * 4096 + p: one load in place of
// the arithmetic in the decoder (the encoder's model pass has its own table).
inline constexpr std::array<std::uint16_t, 2 * kProbabilityTotal> kAdaptedProbabilities = [] {
  std::array<std::uint16_t, 2 * kProbabilityTotal> table{};
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    for (std::uint32_t p = 0; p < kProbabilityTotal; ++p) {
      table[bit * kProbabilityTotal + p] = static_cast<std::uint16_t>(adapted_probability(p, bit));
    }
  }
  return table;
}();

// `if_one` when bit is 1, else `if_zero`, without a branch.
inline std::uint32_t select_by_bit(std::uint32_t bit, std::uint32_t if_one, std::uint32_t if_zero) {
  const std::uint32_t one_mask = 0u - bit;
  return (if_one & one_mask) | (if_zero & ~one_mask);
}

// `if_at_least` when a >= b, else `otherwise`, as a conditional move: the
// bits of a noisy plane are unpredictable, and compilers turn the plain
// condition into a branch, even when told it is unpredictable.
inline std::uint32_t select_if_at_least(std::uint32_t a, std::uint32_t b, std::uint32_t if_at_least,
                                        std::uint32_t otherwise) {
#if defined(__x86_64__) && defined(__GNUC__)
  __asm__("cmpl %[b], %[a]\n\tcmovael %[if_at_least], %[result]"
          : [result] "+r"(otherwise)
          : [a] "r"(a), [b] "r"(b), [if_at_least] "r"(if_at_least)
          : "cc");
  return otherwise;
#else
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(a >= b);
  return (if_at_least & mask) | (otherwise & ~mask);
#endif
}

// The frequency of a decision with probability p (of a 0 bit) and its bit:
// p for 0, 4096 - p for 1; the interval starts at 0 for 0 and at p for 1.
struct Interval {
  std::uint32_t frequency;
  std::uint32_t start;
};

// `value` at `to`, least significant byte first, whatever the host's order.
// Raw pointers and fixed widths: these sit in the coders' inner loops.
template <class UInt>
inline void store_le(std::uint8_t* to, UInt value) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(to, &value, sizeof value);
  } else {
    for (unsigned i = 0; i < sizeof value; ++i) {
      to[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

template <class UInt>
inline UInt load_le(const std::uint8_t* from) {
  UInt value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, from, sizeof value);
  } else {
    for (unsigned i = 0; i < sizeof value; ++i) value |= static_cast<UInt>(from[i]) << (8 * i);
  }
  return value;
}

// The low 16 bits of `value` at `to`, least significant byte first.
inline void store_le16(std::uint8_t* to, std::uint32_t value) {
  store_le(to, static_cast<std::uint16_t>(value));
}

// x div f for a 32-bit x without a hardware division, which would sit on the
// coder's serial chain: floor(x * ceil(2^64 / f) / 2^64). The product
// overshoots x / f by less than x / 2^64 < 2^-32, and the fraction of x / f
// is at most 1 - 1/f with f < 4096, so the floor is the exact quotient for
// every f from 2 to 4095. The encoder's frequencies lie within 15..4081
// (probabilities reachable from 2048), so 1, whose reciprocal needs 65 bits,
// never occurs; its entry is 0.
__extension__ typedef unsigned __int128 WideProduct;

inline constexpr std::array<std::uint64_t, kProbabilityTotal> kFrequencyReciprocals = [] {
  std::array<std::uint64_t, kProbabilityTotal> table{};
  for (std::uint64_t f = 2; f < kProbabilityTotal; ++f) {
    // ceil(2^64 / f) = floor((2^64 - 1) / f) + 1 for every f that does not divide 2^64,
    // and 2^64 / f exactly for the powers of two.
    table[f] = (f & (f - 1)) == 0 ? (std::uint64_t{1} << 63) / (f >> 1) : ~std::uint64_t{0} / f + 1;
  }
  return table;
}();

inline std::uint32_t divide_by_frequency(std::uint32_t x, std::uint32_t frequency) {
  const WideProduct product = static_cast<WideProduct>(std::uint64_t{x}) * kFrequencyReciprocals[frequency];
  return static_cast<std::uint32_t>(product >> 64);
}

// One encoder step, back to front. The state first sheds 16 bits when coding
// would carry it past 2^32 (x >= frequency * 2^20); the word is stored below
// `front` in any case and kept only if it was due, so `front` needs two
// bytes of room before every step. Then x becomes
// (x div f) * 4096 + (x mod f) + start = x + (x div f) * (4096 - f) + start.
inline void encode_step(std::uint32_t& x, std::uint8_t*& front, Interval interval) {
  // A branch, not a mask: a shed comes once in many decisions, and the
  // predicted branch keeps the comparison off the state's chain (measured
  // faster than the branch-free form on every payload tried).
  const bool shed = x >= (interval.frequency << 20);
  store_le16(front - 2, x);
  front -= shed ? 2 : 0;
  const std::uint32_t normalised = shed ? x >> 16 : x;
  const std::uint32_t quotient = divide_by_frequency(normalised, interval.frequency);
  x = normalised + quotient * (kProbabilityTotal - interval.frequency) + interval.start;
}

// The final state in front of the words, least significant byte first.
inline void write_final_state(std::uint32_t x, std::uint8_t*& front) {
  front -= 4;
  front[0] = static_cast<std::uint8_t>(x);
  front[1] = static_cast<std::uint8_t>(x >> 8);
  front[2] = static_cast<std::uint8_t>(x >> 16);
  front[3] = static_cast<std::uint8_t>(x >> 24);
}

// One decoder step for a decision of probability p: the bit from the low 12
// bits of the state, then the state moved past it. Both successors are
// computed and one is chosen, so that the multiplication does not wait for
// the bit. Cannot overflow: frequency <= 4095 and x >> 12 < 2^20.
inline std::uint32_t decode_step(std::uint32_t& x, std::uint32_t p) {
  const std::uint32_t slot = x & (kProbabilityTotal - 1);
  const std::uint32_t high = x >> kProbabilityBits;
  const std::uint32_t if_zero = p * high + slot;
  const std::uint32_t if_one = (kProbabilityTotal - p) * high + slot - p;
  x = select_if_at_least(slot, p, if_one, if_zero);
  return slot >= p ? 1u : 0u;
}

// Refills a decoder state that fell below 2^16 from the next little-endian
// word (a branch, for the reason given at encode_step). Valid only when the state was at least 2^16 before
// the step, so that one word always suffices (x >= frequency * 16 after the
// step), and when two bytes are readable at `position`.
inline void refill_unchecked(std::uint32_t& x, const std::uint8_t*& position) {
  const std::uint32_t word = static_cast<std::uint32_t>(position[0]) | (static_cast<std::uint32_t>(position[1]) << 8);
  if (x < kStateLowerBound) {
    x = (x << 16) | word;
    position += 2;
  }
}

}  // namespace quorvane::arans
