// How many decomposition levels a signal of n samples gets, and how many a
// decoder accepts: the level rule in one place.
#pragma once

#include <cstddef>

namespace quorvane::codec {

inline constexpr std::size_t kMaxEncoderLevels = 8;
// Decoders accept two levels more than any encoder writes.
inline constexpr std::size_t kMaxDecoderLevels = 10;

// Fixed counts below 80 samples, then compute_max_levels (codec.h). Not
// monotonic in n (with a filter length of 10, 79 samples get 4 levels and 80
// get 3); stored streams depend on it.
std::size_t level_count(std::size_t n, std::size_t filter_length);

}  // namespace quorvane::codec
