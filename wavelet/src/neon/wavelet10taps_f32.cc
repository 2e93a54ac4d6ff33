#include "neon/wavelet10taps_f32.h"

#include "neon/fixed_taps_filter_bank_impl.h"

namespace quorvane::wavelet {

template class FixedTapsFilterBank<10>;

}  // namespace quorvane::wavelet
