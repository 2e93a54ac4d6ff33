// The multi-level operations of the lifting executors (CDF 9/7 and CDF 5/3).
// Both run the same loops around their own single-level steps and differ only
// in the shortest signal a level accepts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "checked_allocation.h"
#include "lifting_kernels.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet::lifting {

// Every level at least halves the signal (rounding up), so no decomposition of
// a size_t-sized input can have more successful levels than this; reserving
// beyond it would only let an absurd level count exhaust memory.
inline constexpr std::size_t kMaxUsefulLevels = 8 * sizeof(std::size_t);

// `level` steps (0 acts as 1), each on the previous step's approximations;
// only the last step's record is kept.
inline WaveletResult<Dwt> dwt_levels(const DwtForwardExecutor& step, std::size_t minimum_length,
                                     std::span<const float> input, std::size_t level) {
  const std::size_t steps = std::max<std::size_t>(level, 1);
  Dwt last;
  std::span<const float> level_input = input;
  for (std::size_t k = 0; k < steps; ++k) {
    if (level_input.size() < minimum_length) return Err{WaveletError::buffer_too_small_for_level()};
    QUORVANE_TRY(std::vector<float> approximations, zeroed_floats(even_count(level_input.size())));
    QUORVANE_TRY(std::vector<float> details, zeroed_floats(odd_count(level_input.size())));
    QUORVANE_TRY_STATUS(step.execute_forward(level_input, approximations, details));
    // level_input may point into the previous record; it is not read again.
    last = Dwt{std::move(approximations), std::move(details)};
    level_input = last.approximations;
  }
  return last;
}

// `levels` steps (0 acts as 1), every one recorded, finest first. The
// approximations alternate between two working buffers: the one just written
// becomes the next level's input, the old input the next approximations.
inline WaveletResult<MultiDwt> multi_dwt_levels(const DwtForwardExecutor& step,
                                                std::size_t minimum_length,
                                                std::span<const float> input, std::size_t levels) {
  const std::size_t n = input.size();
  if (n < minimum_length) return Err{WaveletError::buffer_too_small_for_level()};

  MultiDwt result;
  if (levels <= 1) {
    QUORVANE_TRY(std::vector<float> approximations, zeroed_floats(even_count(n)));
    QUORVANE_TRY(std::vector<float> details, zeroed_floats(odd_count(n)));
    QUORVANE_TRY_STATUS(step.execute_forward(input, approximations, details));
    result.levels.push_back(Dwt{std::move(approximations), std::move(details)});
    return result;
  }

  std::vector<float> level_input(input.begin(), input.end());
  QUORVANE_TRY(std::vector<float> level_output, zeroed_floats(even_count(n)));
  result.levels.reserve(std::min(levels, kMaxUsefulLevels));
  std::size_t length = n;
  for (std::size_t k = 0; k < levels; ++k) {
    if (length < minimum_length) return Err{WaveletError::buffer_too_small_for_level()};
    const std::size_t half = even_count(length);
    if (level_output.size() < half) QUORVANE_TRY_STATUS(grow_zeroed(level_output, half));
    QUORVANE_TRY(std::vector<float> details, zeroed_floats(odd_count(length)));
    const std::span<float> approximations = std::span<float>(level_output).first(half);
    QUORVANE_TRY_STATUS(step.execute_forward(std::span<const float>(level_input).first(length),
                                             approximations, details));
    result.levels.push_back(
        Dwt{std::vector<float>(approximations.begin(), approximations.end()), std::move(details)});
    std::swap(level_input, level_output);
    length = half;
  }
  return result;
}

// One synthesis step into a fresh zero-filled vector of exactly A + D floats.
inline WaveletResult<std::vector<float>> idwt_level(const DwtInverseExecutor& step,
                                                    const DwtRef& level) {
  QUORVANE_TRY(std::vector<float> output,
               zeroed_floats(level.approximations.size() + level.details.size()));
  QUORVANE_TRY_STATUS(step.execute_inverse(level.approximations, level.details, output));
  return output;
}

// Coarsest level first, each result feeding the next finer level whole: a
// level of n samples gives back ceil(n/2) + floor(n/2) = n, so nothing is
// trimmed.
inline WaveletResult<std::vector<float>> multi_idwt_levels(const DwtInverseExecutor& step,
                                                           const MultiDwtRef& decomposition) {
  if (decomposition.details.empty() || decomposition.approximations.empty()) {
    return Err{WaveletError::zero_sized_input()};
  }
  const std::size_t count = decomposition.details.size();
  QUORVANE_TRY(std::vector<float> signal,
               idwt_level(step, DwtRef{decomposition.approximations, decomposition.details[count - 1]}));
  for (std::size_t k = count - 1; k-- > 0;) {
    QUORVANE_TRY(std::vector<float> finer, idwt_level(step, DwtRef{signal, decomposition.details[k]}));
    signal = std::move(finer);
  }
  return signal;
}

}  // namespace quorvane::wavelet::lifting
