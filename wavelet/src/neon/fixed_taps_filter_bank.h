// The 4- to 16-tap convolution filter banks (NeonWavelet4TapsF32 ...
// NeonWavelet16TapsF32). They differ only in their tap count, and through it
// in how many interior outputs share one horizontal-sum tree, so one template
// holds them all. Their taps sit in whole four-lane vectors; the forward step
// runs the NEON lanes on 64-bit Arm and the portable or FMA code elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "filter_bank_common.h"
#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

template <std::size_t kTaps>
class FixedTapsFilterBank final : public IncompleteDwtExecutor {
  static_assert(kTaps >= 4 && kTaps <= 16 && kTaps % 2 == 0);

 public:
  static constexpr std::size_t kTapCount = kTaps;
  // Whole four-lane vectors: 4, 8, 12 or 16 floats.
  static constexpr std::size_t kStoredTaps = filter_bank::padded_tap_count(kTaps);

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

extern template class FixedTapsFilterBank<4>;
extern template class FixedTapsFilterBank<6>;
extern template class FixedTapsFilterBank<8>;
extern template class FixedTapsFilterBank<10>;
extern template class FixedTapsFilterBank<12>;
extern template class FixedTapsFilterBank<16>;

// Db2 and Sym2. Lanes are plain products.
using NeonWavelet4TapsF32 = FixedTapsFilterBank<4>;
// Db3 and Sym3; taps 6 and 7 are zero pads.
using NeonWavelet6TapsF32 = FixedTapsFilterBank<6>;
// Db4 and Sym4, the codec's "db4" and "sym4". Lane j is
// fma(c[j+4], w[j+4], c[j]*w[j]); interior outputs in pairs (3,4), (5,6), ...,
// a last unpaired one computed singly.
using NeonWavelet8TapsF32 = FixedTapsFilterBank<8>;
// Db5 and Sym5; taps 10 and 11 are zero pads.
using NeonWavelet10TapsF32 = FixedTapsFilterBank<10>;
// Db6 and Sym6.
using NeonWavelet12TapsF32 = FixedTapsFilterBank<12>;
// Db8 and Sym8.
using NeonWavelet16TapsF32 = FixedTapsFilterBank<16>;

}  // namespace quorvane::wavelet
