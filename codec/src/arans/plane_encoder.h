// The plane encoder, for one plane or for two planes coded side by side.
//
// rANS codes in reverse, so a forward model pass records every decision
// compactly (the probability before its update, and the bit) and a backward
// pass codes them. With two planes both passes handle the planes in one loop:
// their models and their rANS states are independent chains the processor
// can run at the same time. The planes are read in place with a stride, so
// the two planes of a stream need no split copy.
//
// Cost on coefficient payloads of speech and ECG (tests/bench/arans_bench,
// a 2-core Xeon at 2.6 GHz): about 8.5-9 cycles per binary decision for a
// stream, model pass and coding pass about half each; the coding pass is
// bound by the chain of one state (renormalisation, reciprocal product,
// multiply, add), which is why the two planes share its loop. The
// straightforward two-pass coder of one plane at a time took 12-14.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "probability_model.h"
#include "rans_primitives.h"

namespace quorvane::arans {

// A coded plane, built downwards from the end of its buffer.
class BackwardBuffer {
 public:
  explicit BackwardBuffer(std::size_t capacity)
      : buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)), capacity_(capacity),
        front_(buffer_.get() + capacity) {}

  std::uint8_t*& front() { return front_; }

  // Makes room for `bytes` more below the front, keeping what is written.
  void reserve_front(std::size_t bytes) {
    const std::size_t used = size();
    if (static_cast<std::size_t>(front_ - buffer_.get()) >= bytes) return;
    std::size_t capacity = capacity_ * 2;
    while (capacity - used < bytes) capacity *= 2;
    auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    std::uint8_t* grown_front = grown.get() + (capacity - used);
    if (used != 0) std::memcpy(grown_front, front_, used);
    buffer_ = std::move(grown);
    capacity_ = capacity;
    front_ = grown_front;
  }

  // The lowest front that still leaves `bytes` of room below it.
  std::uint8_t* lowest_front(std::size_t bytes) const { return buffer_.get() + bytes; }

  std::size_t size() const { return static_cast<std::size_t>(buffer_.get() + capacity_ - front_); }
  std::span<const std::uint8_t> bytes() const { return {front_, size()}; }

 private:
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_;
  std::uint8_t* front_;
};

// Room below the front for one byte's eight decisions of one plane: a word
// each at most, plus the two bytes every step may store without keeping.
inline constexpr std::size_t kRoomPerByte = 8 * 2 + 2;

// Codes `count` bytes per plane; byte k of plane j is sources[j][k * stride].
// Returns the coded planes, each empty when count is 0.
template <std::size_t Planes>
std::array<BackwardBuffer, Planes> encode_planes(const std::array<const std::uint8_t*, Planes>& sources,
                                                 std::size_t stride, std::size_t count, unsigned context_bits) {
  // The output starts at the input's size (planes of coefficients rarely
  // grow) and doubles when needed.
  auto coded = [&]<std::size_t... J>(std::index_sequence<J...>) {
    return std::array<BackwardBuffer, Planes>{((void)J, BackwardBuffer(count + 64))...};
  }(std::make_index_sequence<Planes>{});
  if (count == 0) return coded;

  // Model pass, forward. The eight decisions of byte k of plane j are stored
  // at (k * Planes + j) * 8 onwards: the probability before its update in the
  // low 12 bits and the bit in bit 15.
  auto decisions = std::make_unique_for_overwrite<std::uint16_t[]>(count * 8 * Planes);
  {
    std::array<ProbabilityModel, Planes> models = [&]<std::size_t... J>(std::index_sequence<J...>) {
      return std::array<ProbabilityModel, Planes>{((void)J, ProbabilityModel(context_bits))...};
    }(std::make_index_sequence<Planes>{});
    std::array<std::uint16_t*, Planes> tables;
    std::array<const std::uint8_t*, Planes> source = sources;
    for (std::size_t j = 0; j < Planes; ++j) tables[j] = &models[j].probability(0);
    const unsigned context_shift = 8 - context_bits;
    std::array<std::uint32_t, Planes> previous{};
    std::uint16_t* d = decisions.get();
    for (std::size_t k = 0; k < count; ++k) {
#pragma GCC unroll 2
      for (std::size_t j = 0; j < Planes; ++j) {
        const std::uint32_t byte = *source[j];
        source[j] += stride;
        std::uint16_t* tree = tables[j] + ((previous[j] >> context_shift) << 8);
        // The node of each bit is known from the byte itself: the bits above
        // it with a leading 1.
#pragma GCC unroll 8
        for (unsigned b = 0; b < 8; ++b) {
          const std::uint32_t node = (byte | 0x100u) >> (8 - b);
          const std::uint32_t bit = (byte >> (7 - b)) & 1u;
          const std::uint32_t p = tree[node];
          d[b] = static_cast<std::uint16_t>(p | (bit << 15));
          tree[node] = static_cast<std::uint16_t>(adapted_probability(p, bit));
        }
        d += 8;
        previous[j] = byte;
      }
    }
  }

  // Coding pass, backward from the last decision. Each plane's state and
  // front live in locals; the buffer is consulted only when a byte's eight
  // steps might not fit below the front.
  std::array<std::uint32_t, Planes> x;
  x.fill(kStateLowerBound);
  std::array<std::uint8_t*, Planes> front, limit;
  for (std::size_t j = 0; j < Planes; ++j) {
    front[j] = coded[j].front();
    limit[j] = coded[j].lowest_front(kRoomPerByte);
  }
  const std::uint16_t* d = decisions.get() + count * 8 * Planes;
  for (std::size_t k = count; k-- > 0;) {
#pragma GCC unroll 2
    for (std::size_t j = 0; j < Planes; ++j) {
      if (front[j] < limit[j]) [[unlikely]] {
        coded[j].front() = front[j];
        coded[j].reserve_front(kRoomPerByte);
        front[j] = coded[j].front();
        limit[j] = coded[j].lowest_front(kRoomPerByte);
      }
    }
    d -= 8 * Planes;
#pragma GCC unroll 8
    for (unsigned b = 8; b > 0; --b) {
#pragma GCC unroll 2
      for (std::size_t j = 0; j < Planes; ++j) {
        const std::uint32_t decision = d[j * 8 + (b - 1)];
        encode_step(x[j], front[j], interval_of(decision & 0x0FFFu, decision >> 15));
      }
    }
  }
  for (std::size_t j = 0; j < Planes; ++j) {
    coded[j].front() = front[j];
    coded[j].reserve_front(4);
    write_final_state(x[j], coded[j].front());
  }
  return coded;
}

}  // namespace quorvane::arans
