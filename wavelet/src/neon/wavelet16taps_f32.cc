#include "neon/wavelet16taps_f32.h"

#include "neon/fixed_taps_filter_bank_impl.h"

namespace quorvane::wavelet {

template class FixedTapsFilterBank<16>;

}  // namespace quorvane::wavelet
