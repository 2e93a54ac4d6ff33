// The multi-level operations (dwt, multi_dwt, idwt, multi_idwt) of every
// executor, built on its single-level steps. The lifting executors and the
// filter-bank driver differ in three rules, named in MultiLevelRules.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

struct MultiLevelRules {
  // The shortest signal a level accepts (BufferTooSmallForLevel below it).
  std::size_t minimum_length;
  // Lifting: every level is checked, a single one too. Filter banks check
  // only when there are two levels or more, and leave a single short step to
  // the executor's own InputTooShort.
  bool check_single_level;
  // Lifting: a level of n samples comes back as exactly n, whatever the
  // split. Filter banks: approximations and details must be equally long,
  // the output has idwt_size samples, and each reconstruction is cut to the
  // length of the next finer details (an odd level came back one long).
  bool exact_length_levels;
};

WaveletResult<Dwt> dwt_levels(const IncompleteDwtExecutor& step, const MultiLevelRules& rules,
                              std::span<const float> input, std::size_t level);
WaveletResult<MultiDwt> multi_dwt_levels(const IncompleteDwtExecutor& step,
                                         const MultiLevelRules& rules,
                                         std::span<const float> input, std::size_t levels);
WaveletResult<std::vector<float>> idwt_level(const IncompleteDwtExecutor& step,
                                             const MultiLevelRules& rules, const DwtRef& level);
WaveletResult<std::vector<float>> multi_idwt_levels(const IncompleteDwtExecutor& step,
                                                    const MultiLevelRules& rules,
                                                    const MultiDwtRef& decomposition);

}  // namespace quorvane::wavelet
