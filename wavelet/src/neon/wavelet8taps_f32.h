// The 8-tap convolution filter bank on float32 samples.
// Db4 and Sym4, the codec's "db4" and "sym4". Lane j is
// fma(c[j+4], w[j+4], c[j]*w[j]); interior outputs in pairs (3,4), (5,6), ...,
// a last unpaired one computed singly.
#pragma once

#include "neon/fixed_taps_filter_bank.h"

namespace quorvane::wavelet {

extern template class FixedTapsFilterBank<8>;

class NeonWavelet8TapsF32 final : public FixedTapsFilterBank<8> {
 public:
  using FixedTapsFilterBank<8>::FixedTapsFilterBank;
};

}  // namespace quorvane::wavelet
