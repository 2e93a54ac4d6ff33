// Border extension of the filter banks' forward steps.
//
//   a b c d extended by two:  Clamp a a|abcd|d d   Wrap c d|abcd|a b
//   Reflect b a|abcd|d c   Reflect101 c b|abcd|c b   Zeros 0 0|abcd|0 0
#pragma once

#include <cstdint>

namespace quorvane::wavelet {

// Stored in executors as an unsigned 32-bit value; values above 4 act as Zeros.
enum class BorderMode : std::uint32_t {
  Clamp = 0,
  Wrap = 1,
  Reflect = 2,
  Reflect101 = 3,
  Zeros = 4,
};

}  // namespace quorvane::wavelet
