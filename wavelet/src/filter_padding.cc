#include "filter_padding.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "border_mode.h"

namespace quorvane::wavelet {

void write_arena_1d_impl(std::span<const float> source, std::span<float> arena, std::size_t left,
                         std::size_t right, BorderMode mode) {
  const std::size_t n = source.size();
  if (left > arena.size() || right > arena.size() || left + n + right != arena.size()) {
    // Continuing would write outside the arena; no input can get here, so the
    // process stops with the message this fault has always carried.
    std::fputs(
        "internal error: entered unreachable code: This is an internal configuration error. "
        "Please, report it.\n",
        stderr);
    std::abort();
  }
  std::copy(source.begin(), source.end(), arena.begin() + static_cast<std::ptrdiff_t>(left));

  // arena[left - 1] is x~(-1), arena[0] is x~(-left).
  const auto signed_left = static_cast<std::int64_t>(left);
  for (std::size_t t = 0; t < left; ++t) {
    arena[t] = border_value(source, static_cast<std::int64_t>(t) - signed_left, mode);
  }
  const auto signed_n = static_cast<std::int64_t>(n);
  for (std::size_t t = 0; t < right; ++t) {
    arena[left + n + t] = border_value(source, signed_n + static_cast<std::int64_t>(t), mode);
  }
}

}  // namespace quorvane::wavelet
