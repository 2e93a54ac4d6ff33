// Which wavelet executor each method uses, shared by both directions so that
// a stream always decodes with the wavelet it was written with.
#pragma once

#include "quorvane/codec/options.h"
#include "quorvane/wavelet/executor.h"
#include "quorvane/wavelet/factory.h"

namespace quorvane::codec {

// A new executor for `method`. Callers refuse values outside the
// enumeration before asking (they would get null).
inline wavelet::DwtExecutorHandle executor_for(WaveletMethod method) {
  using wavelet::BorderMode;
  switch (method) {
    case WaveletMethod::cdf53:
      return wavelet::make_cdf53_f32();
    case WaveletMethod::cdf97:
      return wavelet::make_cdf97_f32();
    case WaveletMethod::db4:
      // The codec always extends periodically.
      return wavelet::make_daubechies_f32(wavelet::DaubechiesFamily::Db4, BorderMode::Wrap);
    case WaveletMethod::sym4:
      return wavelet::make_symlet_f32(wavelet::SymletFamily::Sym4, BorderMode::Wrap);
  }
  return nullptr;
}

}  // namespace quorvane::codec
