// The header's payload_len field is 32 bits wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "quorvane/codec/error.h"

namespace quorvane::codec {

// The value of the length field, or CompressionFailed for a payload the
// field cannot describe: a wrong length must never be written.
inline CodecResult<std::uint32_t> payload_length_field(std::size_t payload_len) {
  if (payload_len > std::numeric_limits<std::uint32_t>::max()) {
    return Err{QuorvaneError::compression_failed(
        "Payload of " + std::to_string(payload_len) +
        " bytes is longer than the 4294967295 bytes a stream header can describe")};
  }
  return static_cast<std::uint32_t>(payload_len);
}

}  // namespace quorvane::codec
