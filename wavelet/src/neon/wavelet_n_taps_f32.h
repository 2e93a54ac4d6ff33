// The general convolution filter bank for tap counts without a dedicated
// member (14, 18, 20, ... 48). Its forward step first writes the extended
// signal into a scratch arena and then convolves that arena without branches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

class NeonWaveletNTapsF32 final : public IncompleteDwtExecutor {
 public:
  // `low_pass` and `high_pass` hold the same even number of taps (at least 4).
  NeonWaveletNTapsF32(BorderMode border_mode, std::vector<float> low_pass,
                      std::vector<float> high_pass);

  // Allocates the scratch arena for the call.
  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approximations,
                                std::span<float> details) const override;
  // Builds the extended signal in the first required_scratch_size(n) floats
  // of `scratch`.
  WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                             std::span<float> approximations,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  // L + 2M - 2: the left border, the signal and the right border.
  std::size_t required_scratch_size(std::size_t input_length) const override;
  DwtSize dwt_size(std::size_t input_length) const override;

  // Adds into `output`, which must be zero on entry.
  WaveletStatus execute_inverse(std::span<const float> approximations,
                                std::span<const float> details,
                                std::span<float> output) const override;
  std::size_t idwt_size(DwtSize size) const override;

  std::size_t filter_length() const override;

  BorderMode border_mode() const { return static_cast<BorderMode>(border_mode_); }
  std::span<const float> low_pass() const { return low_pass_; }
  std::span<const float> high_pass() const { return high_pass_; }

 private:
  std::vector<float> low_pass_;
  std::vector<float> high_pass_;
  std::size_t taps_;
  std::uint32_t border_mode_;
};

// The general filter bank for `low_pass`, with low_pass_to_high(low_pass) as
// its high-pass taps (defined with the other builders in factory.cc).
IncompleteDwtExecutorHandle wavelet_n_taps(BorderMode border_mode,
                                           std::span<const float> low_pass);

}  // namespace quorvane::wavelet
