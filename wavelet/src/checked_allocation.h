// Zero-filled coefficient buffers whose allocation is checked: failure comes
// back as CannotAllocate carrying the buffer's size in bytes instead of
// ending the process.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

#include "quorvane/wavelet/error.h"

namespace quorvane::wavelet {

inline WaveletResult<std::vector<float>> zeroed_floats(std::size_t count) {
  try {
    return std::vector<float>(count, 0.0f);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Err{WaveletError::cannot_allocate(count * sizeof(float))};
}

// Grows `buffer` to `count` entries (new entries zero), with the same check.
inline WaveletStatus grow_zeroed(std::vector<float>& buffer, std::size_t count) {
  try {
    buffer.resize(count, 0.0f);
    return {};
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Err{WaveletError::cannot_allocate(count * sizeof(float))};
}

}  // namespace quorvane::wavelet
