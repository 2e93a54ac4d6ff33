// The multi-level driver of the filter banks: forwards the single-level
// operations of a wrapped IncompleteDwtExecutor and builds dwt, multi_dwt,
// idwt and multi_idwt on top of them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "multi_level.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

class CompletedDwtExecutor final : public DwtExecutor {
 public:
  // `filter_length` is inner->filter_length(), cached once.
  CompletedDwtExecutor(IncompleteDwtExecutorHandle inner, std::size_t filter_length);

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approximations,
                                std::span<float> details) const override;
  WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                             std::span<float> approximations,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  std::size_t required_scratch_size(std::size_t input_length) const override;
  DwtSize dwt_size(std::size_t input_length) const override;

  WaveletStatus execute_inverse(std::span<const float> approximations,
                                std::span<const float> details,
                                std::span<float> output) const override;
  std::size_t idwt_size(DwtSize size) const override;

  std::size_t filter_length() const override;

  WaveletResult<Dwt> dwt(std::span<const float> input, std::size_t level) const override;
  WaveletResult<MultiDwt> multi_dwt(std::span<const float> input, std::size_t levels) const override;
  // One synthesis step into a zero-filled vector of idwt_size floats.
  WaveletResult<std::vector<float>> idwt(const DwtRef& level) const override;
  // Each intermediate reconstruction is cut to the length of the next finer
  // details; the result has 2*d0 - L + 2 samples for finest details length d0.
  WaveletResult<std::vector<float>> multi_idwt(const MultiDwtRef& decomposition) const override;

  const IncompleteDwtExecutorHandle& inner() const { return inner_; }

 private:
  MultiLevelRules rules() const;

  IncompleteDwtExecutorHandle inner_;
  std::size_t filter_length_;
};

}  // namespace quorvane::wavelet
