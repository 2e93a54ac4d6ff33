// The 4-tap convolution filter bank on float32 samples.
// Db2 and Sym2. Lanes are plain products; interior outputs in fours.
#pragma once

#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

extern template class FixedTapsFilterBank<4>;

class NeonWavelet4TapsF32 final : public FixedTapsFilterBank<4> {
 public:
  using FixedTapsFilterBank<4>::FixedTapsFilterBank;
};

}  // namespace quorvane::wavelet
