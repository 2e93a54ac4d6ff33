// The band coder (coder id 2): quantised wavelet coefficients coded as sign
// and magnitude, one value at a time, with adaptive binary contexts formed
// from the band's previous values and the coarser band's coefficients. It
// spends a few binary decisions per coefficient where the plane coder spends
// sixteen. docs/format.md describes the stream completely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvane/arans/arans.h"

namespace quorvane::arans {

// Band lengths of one coefficient vector in stream layout: the coarsest
// approximation first, then the detail bands from finest to coarsest.
struct BandLayout {
  std::size_t approximations = 0;
  std::vector<std::size_t> details;  // finest first

  // Number of coefficients the layout holds; false when it does not fit a size_t.
  bool total(std::size_t& count) const;
};

// Codes `coefficients` (stream layout) into one band-coder payload. Fails
// with Inconsistent when their number differs from the layout's.
AransResult<std::vector<std::uint8_t>> encode_bands(std::span<const std::int16_t> coefficients,
                                                    const BandLayout& layout);

// Decodes a payload into the layout's coefficients (stream layout). The
// result grows with what the payload delivers, never from the layout alone.
// Truncated: the payload ends early. Inconsistent: it does not end exactly
// where its last coefficient does, or its state is impossible.
AransResult<std::vector<std::int16_t>> decode_bands(std::span<const std::uint8_t> payload,
                                                    const BandLayout& layout);

}  // namespace quorvane::arans
