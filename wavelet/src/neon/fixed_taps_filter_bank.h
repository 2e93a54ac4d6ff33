// The 4- to 16-tap filter banks. They differ only in their tap count, and
// through it in how many interior outputs share one horizontal-sum tree; one
// template holds them all, each member naming its own instantiation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "neon/filter_bank_common.h"
#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

template <std::size_t kTaps>
class FixedTapsFilterBank : public IncompleteDwtExecutor {
  static_assert(kTaps >= 4 && kTaps % 2 == 0);

 public:
  static constexpr std::size_t kTapCount = kTaps;
  // Whole four-lane vectors: 4, 8, 12 or 16 floats.
  static constexpr std::size_t kStoredTaps = filter_bank::padded_tap_count(kTaps);
  // Interior outputs computed together: fours up to 6 taps, pairs beyond.
  static constexpr std::size_t kGroupSize = kTaps <= 6 ? 4 : 2;
  // The 4-tap member stops its groups one interior output early.
  static constexpr std::size_t kGroupedRangeShortening = kTaps == 4 ? 1 : 0;

  // `low_pass` holds exactly kTaps taps; the high-pass taps are their
  // quadrature mirror.
  FixedTapsFilterBank(BorderMode border_mode, std::span<const float> low_pass);

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
  std::span<const float, kStoredTaps> low_pass() const { return low_pass_; }
  std::span<const float, kStoredTaps> high_pass() const { return high_pass_; }

 private:
  std::uint32_t border_mode_;
  std::array<float, kStoredTaps> low_pass_{};
  std::array<float, kStoredTaps> high_pass_{};
};

}  // namespace quorvane::wavelet
