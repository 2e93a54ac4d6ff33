// Raw DEFLATE (no zlib or gzip wrapper) through zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvane/result.h"
#include "uninitialized_vector.h"

namespace quorvane::codec {

// Compresses `input` as one raw DEFLATE stream at level 6 and appends it to
// `out`. Errors are zlib failures as text; exhaustion of memory is std::bad_alloc.
Status<std::string> deflate_raw(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);

// Inflates one raw DEFLATE stream, stopping once `limit` bytes have been
// produced (what lies beyond would never be read, so a small payload cannot
// expand to more than the caller needs). A payload that ends before its final
// block yields what was inflated so far, without error. Invalid data is an
// error value; exhaustion of memory is std::bad_alloc.
//
// Whole valid streams go through libdeflate where the build has it; any
// other outcome of that fast path (invalid or cut data, more output than
// `limit`, no memory for its buffer) is decided by zlib, so results and
// messages are zlib's in every case.
Result<UninitializedVector<std::uint8_t>, std::string> inflate_raw(
    std::span<const std::uint8_t> payload, std::size_t limit);

// The zlib path alone (for the tests that hold both paths to the same bytes).
Result<UninitializedVector<std::uint8_t>, std::string> inflate_raw_zlib(
    std::span<const std::uint8_t> payload, std::size_t limit);

// True when the build carries the libdeflate fast path.
bool has_fast_inflate();

}  // namespace quorvane::codec
