// The 2-tap (Haar, Db1) convolution filter bank on float32 samples. Every
// output is c[0]*x[2k] + c[1]*x[2k+1]; only the last output of an odd-length
// signal reaches past the end, through all five border rules.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

class NeonWavelet2TapsF32 final : public IncompleteDwtExecutor {
 public:
  static constexpr std::size_t kTapCount = 2;

  // `low_pass` holds exactly two taps.
  NeonWavelet2TapsF32(BorderMode border_mode, std::span<const float> low_pass);

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approximations,
                                std::span<float> details) const override;
  // Needs no scratch: `scratch` is neither checked nor touched.
  WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                             std::span<float> approximations,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  std::size_t required_scratch_size(std::size_t input_length) const override;
  DwtSize dwt_size(std::size_t input_length) const override;

  // Adds into `output`, which must be zero on entry.
  WaveletStatus execute_inverse(std::span<const float> approximations,
                                std::span<const float> details,
                                std::span<float> output) const override;
  std::size_t idwt_size(DwtSize size) const override;

  std::size_t filter_length() const override;

  BorderMode border_mode() const { return static_cast<BorderMode>(border_mode_); }
  std::span<const float, 4> low_pass() const { return low_pass_; }
  std::span<const float, 4> high_pass() const { return high_pass_; }

 private:
  std::uint32_t border_mode_;
  // The pair twice, one four-lane vector covering two outputs:
  // lp0 lp1 lp0 lp1 and lp1 -lp0 lp1 -lp0.
  std::array<float, 4> low_pass_{};
  std::array<float, 4> high_pass_{};
};

}  // namespace quorvane::wavelet
