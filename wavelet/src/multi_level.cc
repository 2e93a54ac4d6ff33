#include "multi_level.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "checked_allocation.h"

namespace quorvane::wavelet {
namespace {

// An upper bound on the levels any decomposition of a size_t-long signal can
// complete: a lifting level halves the signal (rounding up) and needs at
// least 3 samples; a filter-bank level halves n - (L - 1) and needs n >= L.
// Reserving beyond it would only let an absurd level count exhaust memory.
constexpr std::size_t kMaxUsefulLevels = 8 * sizeof(std::size_t) + 1;

bool too_short(const MultiLevelRules& rules, std::size_t length) {
  return length < rules.minimum_length;
}

// One forward step into fresh result vectors of dwt_size.
WaveletResult<Dwt> forward_step(const IncompleteDwtExecutor& step, std::span<const float> input) {
  const DwtSize size = step.dwt_size(input.size());
  QUORVANE_TRY(std::vector<float> approximations, zeroed_floats(size.approximations));
  QUORVANE_TRY(std::vector<float> details, zeroed_floats(size.details));
  QUORVANE_TRY_STATUS(step.execute_forward(input, approximations, details));
  return Dwt{std::move(approximations), std::move(details)};
}

std::size_t inverse_length(const IncompleteDwtExecutor& step, const MultiLevelRules& rules,
                           std::size_t approximations, std::size_t details) {
  return rules.exact_length_levels ? approximations + details
                                   : step.idwt_size({details, details});
}

}  // namespace

WaveletResult<Dwt> dwt_levels(const IncompleteDwtExecutor& step, const MultiLevelRules& rules,
                              std::span<const float> input, std::size_t level) {
  const std::size_t steps = std::max<std::size_t>(level, 1);
  const bool checked = rules.check_single_level || steps > 1;
  Dwt last;
  std::span<const float> level_input = input;
  for (std::size_t k = 0; k < steps; ++k) {
    if (checked && too_short(rules, level_input.size())) {
      return Err{WaveletError::buffer_too_small_for_level()};
    }
    QUORVANE_TRY(Dwt result, forward_step(step, level_input));
    // level_input may point into the previous record; it is not read again.
    last = std::move(result);
    level_input = last.approximations;
  }
  return last;
}

WaveletResult<MultiDwt> multi_dwt_levels(const IncompleteDwtExecutor& step,
                                         const MultiLevelRules& rules,
                                         std::span<const float> input, std::size_t levels) {
  const std::size_t n = input.size();
  if (rules.check_single_level && too_short(rules, n)) {
    return Err{WaveletError::buffer_too_small_for_level()};
  }
  // Each level is written straight into the vectors the result keeps, and
  // the next level reads the approximations just kept: no working copy of
  // the signal and no copy of any level.
  MultiDwt result;
  result.levels.reserve(std::min(std::max<std::size_t>(levels, 1), kMaxUsefulLevels));
  // A single step of a filter bank is left to the executor's own check.
  const bool checked = rules.check_single_level || levels > 1;
  std::span<const float> level_input = input;
  for (std::size_t k = 0; k < std::max<std::size_t>(levels, 1); ++k) {
    if (checked && too_short(rules, level_input.size())) {
      return Err{WaveletError::buffer_too_small_for_level()};
    }
    QUORVANE_TRY(Dwt level, forward_step(step, level_input));
    // Moving the vectors keeps their storage, so the span stays valid.
    result.levels.push_back(std::move(level));
    level_input = result.levels.back().approximations;
  }
  return result;
}

WaveletResult<std::vector<float>> idwt_level(const IncompleteDwtExecutor& step,
                                             const MultiLevelRules& rules, const DwtRef& level) {
  const std::size_t a = level.approximations.size();
  const std::size_t d = level.details.size();
  if (!rules.exact_length_levels && a != d) {
    return Err{WaveletError::approx_details_mismatch(a, d)};
  }
  // The filter-bank inverse adds into its output, so it starts from zeros.
  QUORVANE_TRY(std::vector<float> output, zeroed_floats(inverse_length(step, rules, a, d)));
  QUORVANE_TRY_STATUS(step.execute_inverse(level.approximations, level.details, output));
  return output;
}

namespace {

// Lifting levels come back exactly as long as their two bands, so every
// length is known before the first level runs, and every level is built in
// the result itself: level i fills the last lengths[i] samples, and its
// approximations are the last lengths[i + 1] of them, where the coarser level
// just wrote them. The lifting inverses allow exactly this overlap (they read
// each approximation before they write the output sample that holds it), so
// nothing but the result is allocated.
WaveletResult<std::vector<float>> multi_idwt_exact_levels(const IncompleteDwtExecutor& step,
                                                          const MultiDwtRef& decomposition) {
  const auto& details = decomposition.details;
  const std::size_t levels = details.size();
  // lengths[i] is the reconstruction of level i (0 the finest). A sum that
  // wraps is saturated: no buffer of that size can be allocated.
  std::vector<std::size_t> lengths(levels);
  std::size_t length = decomposition.approximations.size();
  for (std::size_t i = levels; i-- > 0;) {
    const std::size_t d = details[i].size();
    length = length > SIZE_MAX - d ? SIZE_MAX : length + d;
    lengths[i] = length;
  }
  QUORVANE_TRY(std::vector<float> result, zeroed_floats(lengths[0]));
  std::span<const float> approximations = decomposition.approximations;
  for (std::size_t i = levels; i-- > 0;) {
    const std::span<float> output = std::span<float>(result).last(lengths[i]);
    QUORVANE_TRY_STATUS(step.execute_inverse(approximations, details[i], output));
    approximations = output;
  }
  return result;
}

}  // namespace

WaveletResult<std::vector<float>> multi_idwt_levels(const IncompleteDwtExecutor& step,
                                                    const MultiLevelRules& rules,
                                                    const MultiDwtRef& decomposition) {
  const auto& details = decomposition.details;
  if (details.empty() || decomposition.approximations.empty()) {
    return Err{WaveletError::zero_sized_input()};
  }
  if (rules.exact_length_levels) return multi_idwt_exact_levels(step, decomposition);
  QUORVANE_TRY(std::vector<float> signal,
               idwt_level(step, rules, DwtRef{decomposition.approximations, details.back()}));
  for (std::size_t i = details.size() - 1; i-- > 0;) {
    std::span<const float> approximations = signal;
    if (signal.size() < details[i].size()) {
      return Err{WaveletError::approx_details_mismatch(signal.size(), details[i].size())};
    }
    approximations = approximations.first(details[i].size());
    QUORVANE_TRY(std::vector<float> finer,
                 idwt_level(step, rules, DwtRef{approximations, details[i]}));
    signal = std::move(finer);
  }
  return signal;
}

}  // namespace quorvane::wavelet
