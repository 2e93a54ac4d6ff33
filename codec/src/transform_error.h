// How a wavelet engine failure reaches the codec's caller.
#pragma once

#include "quorvane/codec/error.h"
#include "quorvane/wavelet/error.h"

namespace quorvane::codec {

// A buffer the engine could not allocate is memory exhaustion, not a
// property of the signal or stream: OutOfMemory with the number of floats.
// Everything else travels on as the engine's message.
inline QuorvaneError from_transform_error(const wavelet::WaveletError& error) {
  if (error.kind() == wavelet::WaveletError::Kind::CannotAllocate) {
    return QuorvaneError::out_of_memory(error.first() / sizeof(float));
  }
  return QuorvaneError::transform_failed(error.message());
}

}  // namespace quorvane::codec
