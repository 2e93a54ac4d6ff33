// Size rules and checks shared by every convolution filter bank.
//
// Geometry of one analysis step with L taps on n >= L samples: M = (n+L-1)/2
// outputs per branch; output k reads the window x~[2k-(L-2)] ... x~[2k+1] and
// tap j meets window sample j. Outputs k < L/2-1 reach left of sample 0,
// outputs k >= n/2 reach right of sample n-1, the rest read the input as is.
#pragma once

#include <cstddef>

#include "quorvane/wavelet/error.h"

namespace quorvane::wavelet::filter_bank {

// Coefficients per branch of one analysis step.
constexpr std::size_t outputs_per_branch(std::size_t n, std::size_t taps) {
  return (n + taps - 1) / 2;
}

// 2A - L + 2 samples come back from A coefficient pairs. Fewer than L/2 - 1
// pairs cover no sample at all; the length saturates at zero instead of
// wrapping around.
constexpr std::size_t reconstruction_length(std::size_t pairs, std::size_t taps) {
  return 2 * pairs + 2 >= taps ? 2 * pairs + 2 - taps : 0;
}

// Taps are kept in whole four-lane vectors; pad slots hold zero.
constexpr std::size_t padded_tap_count(std::size_t taps) { return (taps + 3) / 4 * 4; }

// The forward checks, in their fixed order.
inline WaveletStatus check_forward_sizes(std::size_t n, std::size_t taps,
                                         std::size_t approximations_length,
                                         std::size_t details_length) {
  if (n < taps) return Err{WaveletError::input_too_short(n, taps)};
  if (approximations_length != outputs_per_branch(n, taps)) {
    return Err{WaveletError::unexpected_decomposition_size(approximations_length)};
  }
  if (details_length != approximations_length) {
    return Err{WaveletError::unexpected_decomposition_size(details_length)};
  }
  return {};
}

// The inverse checks, in their fixed order.
inline WaveletStatus check_inverse_sizes(std::size_t approximations_length,
                                         std::size_t details_length, std::size_t output_length,
                                         std::size_t taps) {
  if (approximations_length != details_length) {
    return Err{WaveletError::approx_details_mismatch(approximations_length, details_length)};
  }
  const std::size_t expected = reconstruction_length(approximations_length, taps);
  if (output_length != expected) {
    return Err{WaveletError::output_size_mismatch(output_length, expected)};
  }
  return {};
}

}  // namespace quorvane::wavelet::filter_bank
