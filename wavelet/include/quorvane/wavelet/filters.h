// Low-pass taps of the orthogonal wavelet families and the rule that derives
// the high-pass taps from them.
#pragma once

#include <concepts>
#include <span>
#include <vector>

#include "quorvane/wavelet/families.h"

namespace quorvane::wavelet {

// The published scaling coefficients h[0], h[1], ... as float64, in the order
// the filter banks use them as decomposition taps. Order k has 2k taps.
std::span<const double> daubechies_table(DaubechiesFamily order);
std::span<const double> symlet_table(SymletFamily order);

// The taps of one order, each rounded to the nearest float32.
std::vector<float> get_wavelet(DaubechiesFamily order);
std::vector<float> get_wavelet(SymletFamily order);

// A table family: an order value whose taps get_wavelet returns.
template <class Order>
concept WaveletFilterProvider = requires(Order order) {
  { get_wavelet(order) } -> std::same_as<std::vector<float>>;
};

// high[j] = (-1)^j * low[L - 1 - j]: the quadrature mirror of the low-pass
// taps. Negation only flips the sign bit.
std::vector<float> low_pass_to_high(std::span<const float> low_pass);

}  // namespace quorvane::wavelet
