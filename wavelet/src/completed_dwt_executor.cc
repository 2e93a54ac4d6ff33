#include "completed_dwt_executor.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "checked_allocation.h"

namespace quorvane::wavelet {
namespace {

// A filter-bank level takes n samples to (n + L - 1) / 2, so n - (L - 1)
// halves (rounding down) at every level, and a level needs n >= L: no input
// of size_t length gets through more levels than this. Reserving beyond it
// would only let an absurd level count exhaust memory.
constexpr std::size_t kMaxUsefulLevels = 8 * sizeof(std::size_t) + 1;

// A copy of approximations kept in a result, with the allocation checked like
// every other coefficient buffer.
WaveletResult<std::vector<float>> checked_copy(std::span<const float> values) {
  try {
    return std::vector<float>(values.begin(), values.end());
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Err{WaveletError::cannot_allocate(values.size() * sizeof(float))};
}

}  // namespace

CompletedDwtExecutor::CompletedDwtExecutor(IncompleteDwtExecutorHandle inner,
                                           std::size_t filter_length)
    : inner_(std::move(inner)), filter_length_(filter_length) {}

WaveletStatus CompletedDwtExecutor::execute_forward(std::span<const float> input,
                                                    std::span<float> approximations,
                                                    std::span<float> details) const {
  return inner_->execute_forward(input, approximations, details);
}

WaveletStatus CompletedDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                                 std::span<float> approximations,
                                                                 std::span<float> details,
                                                                 std::span<float> scratch) const {
  return inner_->execute_forward_with_scratch(input, approximations, details, scratch);
}

std::size_t CompletedDwtExecutor::required_scratch_size(std::size_t input_length) const {
  return inner_->required_scratch_size(input_length);
}

DwtSize CompletedDwtExecutor::dwt_size(std::size_t input_length) const {
  return inner_->dwt_size(input_length);
}

WaveletStatus CompletedDwtExecutor::execute_inverse(std::span<const float> approximations,
                                                    std::span<const float> details,
                                                    std::span<float> output) const {
  return inner_->execute_inverse(approximations, details, output);
}

std::size_t CompletedDwtExecutor::idwt_size(DwtSize size) const { return inner_->idwt_size(size); }

std::size_t CompletedDwtExecutor::filter_length() const { return filter_length_; }

// One level with no length check of its own: a too-short input is the inner
// executor's InputTooShort.
WaveletResult<Dwt> CompletedDwtExecutor::single_step(std::span<const float> input) const {
  const DwtSize size = inner_->dwt_size(input.size());
  QUORVANE_TRY(std::vector<float> approximations, zeroed_floats(size.approximations));
  QUORVANE_TRY(std::vector<float> details, zeroed_floats(size.details));
  QUORVANE_TRY_STATUS(inner_->execute_forward(input, approximations, details));
  return Dwt{std::move(approximations), std::move(details)};
}

WaveletResult<Dwt> CompletedDwtExecutor::dwt(std::span<const float> input,
                                             std::size_t level) const {
  if (level <= 1) return single_step(input);

  std::vector<float> current(input.begin(), input.end());
  for (std::size_t step = 0; step < level; ++step) {
    if (current.size() < filter_length_) return Err{WaveletError::buffer_too_small_for_level()};
    QUORVANE_TRY(Dwt result, single_step(current));
    if (step + 1 == level) return result;
    current = std::move(result.approximations);
  }
  return Err{WaveletError::buffer_too_small_for_level()};  // not reached: level >= 2
}

WaveletResult<MultiDwt> CompletedDwtExecutor::multi_dwt(std::span<const float> input,
                                                        std::size_t levels) const {
  MultiDwt result;
  if (levels <= 1) {
    QUORVANE_TRY(Dwt level, single_step(input));
    result.levels.push_back(std::move(level));
    return result;
  }

  // Two working buffers trade roles at every level: the approximations just
  // written become the next input, the old input the next approximations.
  std::vector<float> current(input.begin(), input.end());
  QUORVANE_TRY(std::vector<float> next,
               zeroed_floats(inner_->dwt_size(input.size()).approximations));
  result.levels.reserve(std::min(levels, kMaxUsefulLevels));

  for (std::size_t step = 0; step < levels; ++step) {
    if (current.size() < filter_length_) return Err{WaveletError::buffer_too_small_for_level()};
    const DwtSize size = inner_->dwt_size(current.size());
    QUORVANE_TRY_STATUS(grow_zeroed(next, size.approximations));
    QUORVANE_TRY(std::vector<float> details, zeroed_floats(size.details));
    QUORVANE_TRY_STATUS(inner_->execute_forward(current, next, details));
    std::swap(current, next);
    QUORVANE_TRY(std::vector<float> approximations, checked_copy(current));
    result.levels.push_back(Dwt{std::move(approximations), std::move(details)});
  }
  return result;
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::idwt(const DwtRef& level) const {
  const std::size_t pairs = level.details.size();
  if (level.approximations.size() != pairs) {
    return Err{WaveletError::approx_details_mismatch(level.approximations.size(), pairs)};
  }
  // The filter-bank inverse adds into its output.
  QUORVANE_TRY(std::vector<float> output, zeroed_floats(inner_->idwt_size({pairs, pairs})));
  QUORVANE_TRY_STATUS(inner_->execute_inverse(level.approximations, level.details, output));
  return output;
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::multi_idwt(
    const MultiDwtRef& decomposition) const {
  const auto& details = decomposition.details;
  if (details.empty() || decomposition.approximations.empty()) {
    return Err{WaveletError::zero_sized_input()};
  }
  QUORVANE_TRY(std::vector<float> signal, idwt(DwtRef{decomposition.approximations, details.back()}));
  for (std::size_t i = details.size() - 1; i-- > 0;) {
    // A level of odd length came back one sample long; the finer details say
    // how many samples that level really had.
    if (signal.size() < details[i].size()) {
      return Err{WaveletError::approx_details_mismatch(signal.size(), details[i].size())};
    }
    const std::span<const float> approximations =
        std::span<const float>(signal).first(details[i].size());
    QUORVANE_TRY(std::vector<float> finer, idwt(DwtRef{approximations, details[i]}));
    signal = std::move(finer);
  }
  return signal;
}

}  // namespace quorvane::wavelet
