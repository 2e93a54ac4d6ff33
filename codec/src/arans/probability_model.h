// The bitwise adaptive model shared by both directions of the plane coder.
//
// Every byte is eight binary decisions, most significant bit first, walking
// a binary tree (node 1, then node * 2 + bit). Each decision has a 12-bit
// probability of a 0 bit, from a table selected by the top `context_bits`
// bits of the previous byte of the plane.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvane::arans {

inline constexpr std::uint32_t kProbabilityBits = 12;
inline constexpr std::uint32_t kProbabilityTotal = 1u << kProbabilityBits;  // 4096
inline constexpr std::uint32_t kStateLowerBound = 1u << 16;
inline constexpr unsigned kMaxContextBits = 8;

class ProbabilityModel {
 public:
  explicit ProbabilityModel(unsigned context_bits)
      : context_shift_(8 - context_bits),
        table_(std::size_t{256} << context_bits, kProbabilityTotal / 2) {}

  // First table entry of the tree used after `previous_byte`.
  std::size_t context_base(std::uint8_t previous_byte) const {
    return static_cast<std::size_t>(previous_byte >> context_shift_) << 8;
  }

  std::uint16_t& probability(std::size_t index) { return table_[index]; }

  // How far the previous byte is shifted right to give the context.
  unsigned context_shift() const { return context_shift_; }

  // Adaptation rate 1/16, kept within 1..4095 so that no frequency is 0.
  static void update(std::uint16_t& p, unsigned bit) {
    const std::uint32_t v0 = p;
    const std::uint32_t up = v0 + ((kProbabilityTotal - v0) >> 4);
    const std::uint32_t down = v0 - (v0 >> 4);
    std::uint32_t v = bit == 0 ? up : down;
    if (v <= 1) v = 1;
    if (v >= kProbabilityTotal - 1) v = kProbabilityTotal - 1;
    p = static_cast<std::uint16_t>(v);
  }

 private:
  unsigned context_shift_;
  std::vector<std::uint16_t> table_;
};

}  // namespace quorvane::arans
