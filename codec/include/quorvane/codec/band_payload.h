// The entries for encoders that write coder-2 streams (coder id 2, opt-in;
// see docs/format.md): whole streams of the reference pipeline, and the
// payload of a coefficient vector, coded with the bands the decoder will
// derive from the same header fields.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvane/codec/error.h"
#include "quorvane/codec/options.h"

namespace quorvane::codec {

// `compress(samples, options)` with the payload coded by coder 2 instead of
// the coder `options.coder` names: the same checks, messages, header fields
// and quantised coefficients as the reference stream, only the coder id,
// payload and payload length differ. Other implementations of the format
// cannot read the result.
CodecResult<std::vector<std::uint8_t>> compress_with_band_coder(std::span<const float> samples,
                                                                const CodecOptions& options);

// `coefficients` in stream layout (coarsest approximation, then the detail
// bands finest first) of a stream whose header says `method`,
// `sample_count` and `levels`. Fails with CompressionFailed when the vector
// does not hold exactly the values those bands need.
CodecResult<std::vector<std::uint8_t>> encode_band_payload(std::span<const std::int16_t> coefficients,
                                                           WaveletMethod method,
                                                           std::uint32_t sample_count,
                                                           std::uint8_t levels);

}  // namespace quorvane::codec
