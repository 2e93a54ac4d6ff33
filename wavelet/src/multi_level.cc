#include "multi_level.h"

#include <algorithm>
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
  MultiDwt result;
  if (levels <= 1) {
    QUORVANE_TRY(Dwt level, forward_step(step, input));
    result.levels.push_back(std::move(level));
    return result;
  }

  // Two working buffers trade roles at every level: the approximations just
  // written become the next input, the old input the next approximations.
  // Every level is at most as long as the one before, so both keep the
  // first level's size and nothing is allocated for them again.
  const std::size_t first_approximations = step.dwt_size(n).approximations;
  QUORVANE_TRY(WorkBuffer current, work_buffer(std::max(n, first_approximations)));
  QUORVANE_TRY(WorkBuffer next, work_buffer(std::max(n, first_approximations)));
  std::copy(input.begin(), input.end(), current.span().begin());
  result.levels.reserve(std::min(levels, kMaxUsefulLevels));

  std::size_t length = n;
  for (std::size_t k = 0; k < levels; ++k) {
    if (too_short(rules, length)) return Err{WaveletError::buffer_too_small_for_level()};
    const DwtSize size = step.dwt_size(length);
    QUORVANE_TRY(std::vector<float> details, zeroed_floats(size.details));
    const std::span<float> approximations = next.span().first(size.approximations);
    QUORVANE_TRY_STATUS(step.execute_forward(current.span().first(length), approximations, details));
    QUORVANE_TRY(std::vector<float> kept, copied_floats(approximations));
    result.levels.push_back(Dwt{std::move(kept), std::move(details)});
    std::swap(current, next);
    length = size.approximations;
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

WaveletResult<std::vector<float>> multi_idwt_levels(const IncompleteDwtExecutor& step,
                                                    const MultiLevelRules& rules,
                                                    const MultiDwtRef& decomposition) {
  const auto& details = decomposition.details;
  if (details.empty() || decomposition.approximations.empty()) {
    return Err{WaveletError::zero_sized_input()};
  }
  QUORVANE_TRY(std::vector<float> signal,
               idwt_level(step, rules, DwtRef{decomposition.approximations, details.back()}));
  for (std::size_t i = details.size() - 1; i-- > 0;) {
    std::span<const float> approximations = signal;
    if (!rules.exact_length_levels) {
      if (signal.size() < details[i].size()) {
        return Err{WaveletError::approx_details_mismatch(signal.size(), details[i].size())};
      }
      approximations = approximations.first(details[i].size());
    }
    QUORVANE_TRY(std::vector<float> finer,
                 idwt_level(step, rules, DwtRef{approximations, details[i]}));
    signal = std::move(finer);
  }
  return signal;
}

}  // namespace quorvane::wavelet
