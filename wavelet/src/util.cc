// low_pass_to_high: the quadrature mirror of a low-pass filter.
#include <span>
#include <vector>

#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {

std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
  const std::size_t length = low_pass.size();
  std::vector<float> high(length);
  for (std::size_t j = 0; j < length; ++j) {
    const float mirrored = low_pass[length - 1 - j];
    // Unary minus only flips the sign bit, so every tap keeps its exact value.
    high[j] = (j % 2 == 0) ? mirrored : -mirrored;
  }
  return high;
}

}  // namespace quorvane::wavelet
