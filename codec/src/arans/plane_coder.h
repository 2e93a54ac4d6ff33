// The plane decoder, for one plane or for planes decoded side by side, each
// byte going straight to its place in the output.
//
// Cost on coefficient payloads of speech and ECG (tests/bench/arans_bench,
// a 2-core Xeon at 2.6 GHz): about 6.3-6.7 cycles per binary decision for a
// stream with both planes side by side, 7.1-7.3 on noisy planes (7.2-7.7 and
// 8.0-8.6 before the update came from a table); one plane after the other
// with a branch on each bit took 9-11 (13-14 when noisy).
#pragma once

#include <array>
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
        cursor_{static_cast<std::uint32_t>(coded[0]) | (static_cast<std::uint32_t>(coded[1]) << 8) |
                    (static_cast<std::uint32_t>(coded[2]) << 16) | (static_cast<std::uint32_t>(coded[3]) << 24),
                coded.data() + 4, 0},
        end_(coded.data() + coded.size()) {}

  // Decodes `count` bytes from each decoder, byte k of decoder j to
  // out[k * N + j]. False when a plane runs out of words (the same error
  // whichever plane it is); the decoders must not be used again then.
  template <std::size_t N>
  friend bool decode_side_by_side(const std::array<PlaneDecoder*, N>& decoders, std::uint8_t* out,
                                  std::size_t count);

 private:
  // The part of the decoder that changes with every byte; kept in registers
  // while a run of bytes is decoded.
  struct Cursor {
    std::uint32_t x;
    const std::uint8_t* position;
    std::uint32_t previous;
  };

  // One byte whose eight decisions need at most one word each and have
  // them: the state is normalised and eight words are left.
  static std::uint8_t next_unchecked(Cursor& cursor, std::uint16_t* tree) {
    std::uint32_t x = cursor.x;
    const std::uint8_t* position = cursor.position;
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
      tree[node] = kAdaptedProbabilities[(bit << kProbabilityBits) | p];
      node = node * 2 + bit;
      p = select_by_bit(bit, right, left);
    }
    cursor.x = x;
    cursor.position = position;
    cursor.previous = node - 256;
    return static_cast<std::uint8_t>(cursor.previous);
  }

  // Any byte, checking every word it takes; false when the plane runs out.
  static bool next_checked(Cursor& cursor, std::uint16_t* tree, const std::uint8_t* end, std::uint8_t& byte) {
    std::uint32_t node = 1;
    for (int b = 0; b < 8; ++b) {
      const std::uint32_t p = tree[node];
      const std::uint32_t bit = decode_step(cursor.x, p);
      // A loop, not a single step: a crafted initial state may start far
      // below the bound.
      while (cursor.x < kStateLowerBound) {
        if (end - cursor.position < 2) return false;
        cursor.x = (cursor.x << 16) | static_cast<std::uint32_t>(cursor.position[0]) |
                   (static_cast<std::uint32_t>(cursor.position[1]) << 8);
        cursor.position += 2;
      }
      tree[node] = kAdaptedProbabilities[(bit << kProbabilityBits) | p];
      node = node * 2 + bit;
    }
    cursor.previous = node - 256;
    byte = static_cast<std::uint8_t>(cursor.previous);
    return true;
  }

  ProbabilityModel model_;
  Cursor cursor_;
  const std::uint8_t* end_;
};

template <std::size_t N>
bool decode_side_by_side(const std::array<PlaneDecoder*, N>& decoders, std::uint8_t* out, std::size_t count) {
  std::array<PlaneDecoder::Cursor, N> cursors;
  std::array<std::uint16_t*, N> tables;
  std::array<const std::uint8_t*, N> ends;
  for (std::size_t j = 0; j < N; ++j) {
    cursors[j] = decoders[j]->cursor_;
    tables[j] = &decoders[j]->model_.probability(0);
    ends[j] = decoders[j]->end_;
  }
  const unsigned context_shift = decoders[0]->model_.context_shift();
  bool ok = true;
  for (std::size_t k = 0; k < count && ok; ++k) {
#pragma GCC unroll 2
    for (std::size_t j = 0; j < N; ++j) {
      PlaneDecoder::Cursor& cursor = cursors[j];
      std::uint16_t* tree = tables[j] + ((cursor.previous >> context_shift) << 8);
      // A normalised state needs at most one word per decision, so with
      // eight words left the byte cannot run out and its refills need no
      // checks. Measured 15-20 % faster than the checked path alone.
      if (cursor.x >= kStateLowerBound && ends[j] - cursor.position >= 16) [[likely]] {
        out[k * N + j] = PlaneDecoder::next_unchecked(cursor, tree);
      } else if (!PlaneDecoder::next_checked(cursor, tree, ends[j], out[k * N + j])) {
        ok = false;
        break;
      }
    }
  }
  for (std::size_t j = 0; j < N; ++j) decoders[j]->cursor_ = cursors[j];
  return ok;
}

}  // namespace quorvane::arans
