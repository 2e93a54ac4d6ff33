// The 6-tap convolution filter bank on float32 samples.
// Db3 and Sym3. Taps in two four-lane vectors, the last two slots zero;
// interior outputs in fours.
#pragma once

#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

extern template class FixedTapsFilterBank<6>;

class NeonWavelet6TapsF32 final : public FixedTapsFilterBank<6> {
 public:
  using FixedTapsFilterBank<6>::FixedTapsFilterBank;
};

}  // namespace quorvane::wavelet
