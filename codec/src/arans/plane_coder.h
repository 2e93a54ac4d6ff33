// The plane decoder in a form that writes through a callback, so that the
// stream decoder can place bytes straight where they belong.
#pragma once

#include <cstdint>
#include <span>

#include "probability_model.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {

// Decodes `count` bytes, handing each to sink(index, byte). Fails with
// Truncated when the coded plane runs out; never reads past it.
template <class Sink>
Status<AransError> decode_plane_into(std::span<const std::uint8_t> coded, std::size_t count,
                                     unsigned context_bits, Sink&& sink) {
  if (count == 0) return {};
  if (coded.size() < 4) return Err{AransError::Truncated};
  ProbabilityModel model(context_bits);
  std::uint32_t x = static_cast<std::uint32_t>(coded[0]) | (static_cast<std::uint32_t>(coded[1]) << 8) |
                    (static_cast<std::uint32_t>(coded[2]) << 16) |
                    (static_cast<std::uint32_t>(coded[3]) << 24);
  std::size_t position = 4;
  std::uint8_t previous = 0;
  // One decision: the bit from the state, then the state moved past it.
  // Returns false when the plane runs out of words.
  const auto decode_bit = [&](std::uint32_t p, unsigned& bit) {
    const std::uint32_t slot = x & (kProbabilityTotal - 1);
    bit = slot >= p ? 1u : 0u;
    // Chosen without a branch: the bits are close to random.
    const std::uint32_t one_mask = 0u - bit;
    const std::uint32_t frequency = p + (one_mask & (kProbabilityTotal - 2u * p));
    const std::uint32_t start = p & one_mask;
    // Cannot overflow: frequency <= 4095 and x >> 12 < 2^20.
    x = frequency * (x >> kProbabilityBits) + slot - start;
    // A loop, not a single step: a crafted initial state may start far
    // below the bound.
    while (x < kStateLowerBound) {
      if (coded.size() - position < 2) return false;
      x = (x << 16) | static_cast<std::uint32_t>(coded[position]) |
          (static_cast<std::uint32_t>(coded[position + 1]) << 8);
      position += 2;
    }
    return true;
  };
  for (std::size_t i = 0; i < count; ++i) {
    std::uint16_t* tree = &model.probability(model.context_base(previous));
    std::uint32_t node = 1;
    std::uint32_t p = tree[1];
    for (int b = 0; b < 8; ++b) {
      // Both children's probabilities are read before this bit is known, so
      // the table load (from L2 for the 128 KiB tables) is off the chain of
      // decisions. The last bit has no children in this tree.
      const std::uint32_t left = b < 7 ? tree[2 * node] : 0u;
      const std::uint32_t right = b < 7 ? tree[2 * node + 1] : 0u;
      unsigned bit;
      if (!decode_bit(p, bit)) return Err{AransError::Truncated};
      ProbabilityModel::update(tree[node], bit);
      node = node * 2 + bit;
      p = bit ? right : left;
    }
    previous = static_cast<std::uint8_t>(node - 256);
    sink(i, previous);
  }
  return {};
}

}  // namespace quorvane::arans
