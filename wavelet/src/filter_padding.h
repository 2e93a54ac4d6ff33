// The padding routine of the general N-tap executor: writes the extended
// signal (left border, the signal, right border) into a scratch arena.
#pragma once

#include <cstddef>
#include <span>

#include "quorvane/wavelet/border_mode.h"

namespace quorvane::wavelet {

// Requires left + source.size() + right == arena.size(). The N-tap executor
// sizes the arena from the same geometry it passes here, so a mismatch is an
// internal fault and ends the process.
void write_arena_1d_impl(std::span<const float> source, std::span<float> arena, std::size_t left,
                         std::size_t right, BorderMode mode);

}  // namespace quorvane::wavelet
