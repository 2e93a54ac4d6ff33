#include "completed_dwt_executor.h"

#include <utility>

#include "multi_level.h"

namespace quorvane::wavelet {

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

MultiLevelRules CompletedDwtExecutor::rules() const { return {filter_length_, false, false}; }

WaveletResult<Dwt> CompletedDwtExecutor::dwt(std::span<const float> input,
                                             std::size_t level) const {
  return dwt_levels(*inner_, rules(), input, level);
}

WaveletResult<MultiDwt> CompletedDwtExecutor::multi_dwt(std::span<const float> input,
                                                        std::size_t levels) const {
  return multi_dwt_levels(*inner_, rules(), input, levels);
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::idwt(const DwtRef& level) const {
  return idwt_level(*inner_, rules(), level);
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::multi_idwt(
    const MultiDwtRef& decomposition) const {
  return multi_idwt_levels(*inner_, rules(), decomposition);
}

}  // namespace quorvane::wavelet
