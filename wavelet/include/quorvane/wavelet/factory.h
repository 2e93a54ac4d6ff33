// WaveletFactory: the four functions that build executors. Each returns a new
// shared handle; none fails (memory exhaustion while building one is fatal).
#pragma once

#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/executor.h"
#include "quorvane/wavelet/families.h"

namespace quorvane::wavelet {

// CDF 9/7 lifting, filter length 10.
DwtExecutorHandle make_cdf97_f32();
// CDF 5/3 lifting, filter length 6.
DwtExecutorHandle make_cdf53_f32();
// Orthogonal filter banks of the two families behind the multi-level driver.
DwtExecutorHandle make_daubechies_f32(DaubechiesFamily order, BorderMode border_mode);
DwtExecutorHandle make_symlet_f32(SymletFamily order, BorderMode border_mode);

}  // namespace quorvane::wavelet
