// The 16-tap convolution filter bank on float32 samples.
// Db8 and Sym8. Taps in four four-lane vectors; interior outputs in pairs.
#pragma once

#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

extern template class FixedTapsFilterBank<16>;

class NeonWavelet16TapsF32 final : public FixedTapsFilterBank<16> {
 public:
  using FixedTapsFilterBank<16>::FixedTapsFilterBank;
};

}  // namespace quorvane::wavelet
