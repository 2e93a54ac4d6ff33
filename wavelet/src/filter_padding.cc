#include "filter_padding.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "border_mode.h"

namespace quorvane::wavelet {
namespace {

// The N-tap executor sizes the arena from the same geometry it passes here
// and checks its scratch before calling, so no input reaches this.
[[noreturn]] void arena_length_invariant_broken() {
  std::fputs(
      "internal error: entered unreachable code: This is an internal configuration error. "
      "Please, report it.\n",
      stderr);
  std::abort();
}

}  // namespace

WaveletStatus write_arena_1d_impl(std::span<const float> source, std::span<float> arena,
                                  std::size_t left, std::size_t right, BorderMode mode) {
  const std::size_t n = source.size();
  if (left + n + right != arena.size() || left > arena.size() || right > arena.size()) {
    arena_length_invariant_broken();
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
  return {};
}

ArenaWriter make_arena_1d_dispatch() {
  // Set once per process; the initialisation of a function-local static is
  // thread-safe, so concurrent first callers wait and then share it.
  static const ArenaWriter writer = &write_arena_1d_impl;
  return writer;
}

}  // namespace quorvane::wavelet
