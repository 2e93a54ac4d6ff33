// The padding routine of the general N-tap executor: writes the extended
// signal (left border, the signal, right border) into a scratch arena.
#pragma once

#include <cstddef>
#include <span>

#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/error.h"

namespace quorvane::wavelet {

// Requires left + source.size() + right == arena.size(); the N-tap executor
// always passes consistent lengths, so a mismatch is an internal fault.
WaveletStatus write_arena_1d_impl(std::span<const float> source, std::span<float> arena,
                                  std::size_t left, std::size_t right, BorderMode mode);

using ArenaWriter = WaveletStatus (*)(std::span<const float>, std::span<float>, std::size_t,
                                      std::size_t, BorderMode);

// The process-wide padding routine, set once (thread-safely) on first use.
ArenaWriter make_arena_1d_dispatch();

}  // namespace quorvane::wavelet
