// Raw DEFLATE (no zlib or gzip wrapper) through zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvane/result.h"

namespace quorvane::codec {

// Compresses `input` as one raw DEFLATE stream at level 6 and appends it to
// `out`. Errors are zlib failures as text.
Status<std::string> deflate_raw(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);

// Inflates one raw DEFLATE stream, stopping once `limit` bytes have been
// produced (what lies beyond would never be read, so a small payload cannot
// expand to more than the caller needs). A payload that ends before its final
// block yields what was inflated so far, without error. Invalid data is an
// error value; exhaustion of memory is std::bad_alloc.
Result<std::vector<std::uint8_t>, std::string> inflate_raw(std::span<const std::uint8_t> payload,
                                                           std::size_t limit);

}  // namespace quorvane::codec
