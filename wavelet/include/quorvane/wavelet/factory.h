// WaveletFactory: the four functions that build executors. Each returns a new
// shared handle; none fails (memory exhaustion while building one is fatal).
#pragma once

#include <cstdint>

#include "quorvane/wavelet/border_mode.h"
#include "quorvane/wavelet/executor.h"

namespace quorvane::wavelet {

// Order k is value k - 1 and has 2k taps.
enum class DaubechiesFamily : std::uint8_t {
  Db1, Db2, Db3, Db4, Db5, Db6, Db7, Db8, Db9, Db10, Db11, Db12,
  Db13, Db14, Db15, Db16, Db17, Db18, Db19, Db20, Db21, Db22, Db23, Db24,
};

// Order k is value k - 2 and has 2k taps.
enum class SymletFamily : std::uint8_t {
  Sym2, Sym3, Sym4, Sym5, Sym6, Sym7, Sym8, Sym9, Sym10, Sym11,
  Sym12, Sym13, Sym14, Sym15, Sym16, Sym17, Sym18, Sym19, Sym20,
};

// CDF 9/7 lifting, filter length 10.
DwtExecutorHandle make_cdf97_f32();
// CDF 5/3 lifting, filter length 6.
DwtExecutorHandle make_cdf53_f32();
// Orthogonal filter banks of the two families behind the multi-level driver.
DwtExecutorHandle make_daubechies_f32(DaubechiesFamily order, BorderMode border_mode);
DwtExecutorHandle make_symlet_f32(SymletFamily order, BorderMode border_mode);

}  // namespace quorvane::wavelet
