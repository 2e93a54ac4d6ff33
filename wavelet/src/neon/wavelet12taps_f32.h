// The 12-tap convolution filter bank on float32 samples.
// Db6 and Sym6. Taps in three four-lane vectors; interior outputs in pairs.
#pragma once

#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

extern template class FixedTapsFilterBank<12>;

class NeonWavelet12TapsF32 final : public FixedTapsFilterBank<12> {
 public:
  using FixedTapsFilterBank<12>::FixedTapsFilterBank;
};

}  // namespace quorvane::wavelet
