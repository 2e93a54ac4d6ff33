#include "level_count.h"

#include <bit>

#include "quorvane/codec/codec.h"

namespace quorvane::codec {

std::size_t compute_max_levels(std::size_t length, std::size_t filter_length) {
  if (length < filter_length) return 1;
  const std::size_t q = length / filter_length;
  const std::size_t k = static_cast<std::size_t>(std::bit_width(q)) - 1;  // floor(log2 q)
  if (k < 1) return 1;
  return k < kMaxEncoderLevels ? k : kMaxEncoderLevels;
}

std::size_t level_count(std::size_t n, std::size_t filter_length) {
  if (n < 20) return 1;
  if (n < 40) return 2;
  if (n < 60) return 3;
  if (n < 80) return 4;
  return compute_max_levels(n, filter_length);
}

}  // namespace quorvane::codec
