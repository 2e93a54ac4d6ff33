// The plane encoder, for one plane or for two planes coded side by side.
//
// rANS codes in reverse, so a forward model pass records every decision
// compactly (its frequency, in 12 bits; the bit is read again from the
// source) and a backward pass codes them. With two planes both passes
// handle the planes in one loop: their models and their rANS states are
// independent chains the processor can run at the same time. The planes are read in place with a stride, so
// the two planes of a stream need no split copy.
//
// Cost on coefficient payloads of speech and ECG (tests/bench/arans_bench,
// a 2-core Xeon at 2.6 GHz): about 6.2-6.9 cycles per binary decision for a
// stream at 10^6 samples, 7.6-8.4 at 10^7, where the page faults of 240 MB of
// fresh decisions add the rest (8.5-9 and 10-10.6 before the model pass took
// its updates and frequencies from a table and the decisions shrank to 12
// bits); the coding pass is
// bound by the chain of one state (renormalisation, reciprocal product,
// multiply, add), which is why the two planes share its loop. The
// straightforward two-pass coder of one plane at a time took 12-14.
//
// Memory: 12 bytes of decisions per byte of each plane, which with two
// planes is 12 bytes per payload byte (16 when each decision took 16 bits).
// Coding one plane while modelling the other would halve that, but would
// leave a model pass and a coding pass of a single plane at either end,
// where one state chain runs alone: the cost the shared loop exists to avoid.
#pragma once

#include <array>
#include <bit>
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

// The decisions of one byte: eight 12-bit probabilities in two 48-bit
// groups. Each group is stored as 64 bits, the excess overwritten by the
// next group, so the buffer ends with two spare bytes.
inline constexpr std::size_t kDecisionBytesPerByte = 12;
inline constexpr std::size_t kDecisionSpill = 2;

// Bits 48 to 63 of a stored group belong to the next group; no decision
// reads them.
inline void store_group(std::uint8_t* to, std::uint64_t group) { store_le(to, group); }
inline std::uint64_t load_group(const std::uint8_t* from) { return load_le<std::uint64_t>(from); }

// One model step of the encoder for index bit * 4096 + p: the updated
// probability in the low 16 bits and the decision's frequency (p for a 0
// bit, 4096 - p for a 1) in the high 16, so that one load serves the model
// and the coding pass needs no arithmetic to find the interval.
inline constexpr std::array<std::uint32_t, 2 * kProbabilityTotal> kModelSteps = [] {
  std::array<std::uint32_t, 2 * kProbabilityTotal> table{};
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    for (std::uint32_t p = 0; p < kProbabilityTotal; ++p) {
      const std::uint32_t frequency = bit == 0 ? p : kProbabilityTotal - p;
      table[bit * kProbabilityTotal + p] = adapted_probability(p, bit) | (frequency << 16);
    }
  }
  return table;
}();

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

  // Model pass, forward. Only the decisions' frequencies are kept, 12 bits
  // each: the bits are read again from the source when coding.
  // The eight decisions of byte k of plane j take the 12 bytes from
  // (k * Planes + j) * 12 on, four decisions to each 48-bit group.
  auto decisions = std::make_unique_for_overwrite<std::uint8_t[]>(count * kDecisionBytesPerByte * Planes +
                                                                 kDecisionSpill);
  {
    std::array<ProbabilityModel, Planes> models = [&]<std::size_t... J>(std::index_sequence<J...>) {
      return std::array<ProbabilityModel, Planes>{((void)J, ProbabilityModel(context_bits))...};
    }(std::make_index_sequence<Planes>{});
    std::array<std::uint16_t*, Planes> tables;
    std::array<const std::uint8_t*, Planes> source = sources;
    for (std::size_t j = 0; j < Planes; ++j) tables[j] = &models[j].probability(0);
    const unsigned context_shift = 8 - context_bits;
    std::array<std::uint32_t, Planes> previous{};
    std::uint8_t* d = decisions.get();
    for (std::size_t k = 0; k < count; ++k) {
#pragma GCC unroll 2
      for (std::size_t j = 0; j < Planes; ++j) {
        const std::uint32_t byte = *source[j];
        source[j] += stride;
        std::uint16_t* tree = tables[j] + ((previous[j] >> context_shift) << 8);
#pragma GCC unroll 2
        for (unsigned half = 0; half < 2; ++half) {
          std::uint64_t group = 0;
          // The node of each bit is known from the byte itself: the bits
          // above it with a leading 1.
#pragma GCC unroll 4
          for (unsigned i = 0; i < 4; ++i) {
            const unsigned b = half * 4 + i;
            const std::uint32_t node = (byte | 0x100u) >> (8 - b);
            // The bit in place 12 of the index into the update table.
            const std::uint32_t bit_at_12 = ((byte << (5 + b)) & 0x1000u);
            const std::uint32_t p = tree[node];
            const std::uint32_t step = kModelSteps[bit_at_12 | p];
            group |= std::uint64_t{step >> 16} << (12 * i);
            tree[node] = static_cast<std::uint16_t>(step);
          }
          store_group(d + 6 * half, group);
        }
        d += kDecisionBytesPerByte;
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
  const std::uint8_t* d = decisions.get() + count * kDecisionBytesPerByte * Planes;
  std::array<const std::uint8_t*, Planes> source;
  for (std::size_t j = 0; j < Planes; ++j) source[j] = sources[j] + count * stride;
  for (std::size_t k = count; k-- > 0;) {
    std::array<std::uint32_t, Planes> byte;
    std::array<std::uint64_t, Planes> low_group, high_group;
#pragma GCC unroll 2
    for (std::size_t j = 0; j < Planes; ++j) {
      if (front[j] < limit[j]) [[unlikely]] {
        coded[j].front() = front[j];
        coded[j].reserve_front(kRoomPerByte);
        front[j] = coded[j].front();
        limit[j] = coded[j].lowest_front(kRoomPerByte);
      }
      source[j] -= stride;
      byte[j] = *source[j];
    }
    d -= kDecisionBytesPerByte * Planes;
#pragma GCC unroll 2
    for (std::size_t j = 0; j < Planes; ++j) {
      low_group[j] = load_group(d + j * kDecisionBytesPerByte);
      high_group[j] = load_group(d + j * kDecisionBytesPerByte + 6);
    }
#pragma GCC unroll 8
    for (unsigned b = 8; b > 0; --b) {
#pragma GCC unroll 2
      for (std::size_t j = 0; j < Planes; ++j) {
        const unsigned i = b - 1;
        const std::uint64_t group = i < 4 ? low_group[j] : high_group[j];
        const auto frequency = static_cast<std::uint32_t>(group >> (12 * (i % 4))) & 0x0FFFu;
        const std::uint32_t one_mask = 0u - ((byte[j] >> (7 - i)) & 1u);
        // A 1 bit's interval starts at p = 4096 - its frequency; a 0 bit's at 0.
        encode_step(x[j], front[j], Interval{frequency, (kProbabilityTotal - frequency) & one_mask});
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
