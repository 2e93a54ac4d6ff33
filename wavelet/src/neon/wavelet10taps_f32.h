// The 10-tap convolution filter bank on float32 samples.
// Db5 and Sym5. Taps in three four-lane vectors, the last two slots zero;
// interior outputs in pairs.
#pragma once

#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

extern template class FixedTapsFilterBank<10>;

class NeonWavelet10TapsF32 final : public FixedTapsFilterBank<10> {
 public:
  using FixedTapsFilterBank<10>::FixedTapsFilterBank;
};

}  // namespace quorvane::wavelet
