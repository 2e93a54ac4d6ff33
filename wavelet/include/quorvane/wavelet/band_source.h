// An inverse transform whose coefficients are produced while it runs. A
// decoder holds its coefficients quantised; turning them all into floats
// first costs a buffer as large as the signal and a pass through memory.
// Through a BandSource the CDF 9/7 inverse asks for each strip of a band as
// it reaches it, into a small buffer of its own.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quorvane/wavelet/error.h"
#include "quorvane/wavelet/records.h"

namespace quorvane::wavelet {

// The coefficients of a multi-level decomposition in the order a stream
// stores them: the coarsest approximations, then the details from the
// finest level to the coarsest. read(context, offset, count, out) writes the
// coefficients offset ... offset + count - 1 of that sequence to out.
struct BandSource {
  void (*read)(const void* context, std::size_t offset, std::size_t count, float* out);
  const void* context;
};

// multi_idwt of CDF 9/7 over the coefficients of `source`, whose band sizes
// are `sizes` (finest level first, as dwt_size gives them level after level;
// only the coarsest level's approximation count is read, the others are the
// reconstructions of the levels above).
// The result and its errors are those of multi_idwt over the same
// coefficients held as floats.
WaveletResult<std::vector<float>> cdf97_multi_idwt_from_source(const BandSource& source,
                                                               std::span<const DwtSize> sizes);

}  // namespace quorvane::wavelet
