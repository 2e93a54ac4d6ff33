// Border values of the forward filter-bank steps: the sample a BorderMode
// supplies at an index outside the signal.
#pragma once

#include <cstdint>
#include <span>

#include "quorvane/wavelet/border_mode.h"

namespace quorvane::wavelet {

// How Reflect101 is read. The padding routine and the 2-tap member mirror
// about the edge sample; the 4- to 16-tap members have always repeated the
// edge sample (the Reflect rule), and their coefficients are kept as they are.
enum class Reflect101Rule : std::uint8_t { MirrorAboutEdge, AsReflect };

// x[i] inside [0, n), the value `mode` supplies outside it; defined for every
// i (the periodic rules fold any distance). Modes above 4 act as Zeros.
float border_value(std::span<const float> x, std::int64_t i, BorderMode mode,
                   Reflect101Rule reflect101 = Reflect101Rule::MirrorAboutEdge);

}  // namespace quorvane::wavelet
