// Every buffer the engine allocates goes through these: a failed allocation
// comes back as CannotAllocate carrying the buffer's size in bytes, never as
// an exception or the end of the process.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "quorvane/huge_page_advice.h"
#include "quorvane/wavelet/error.h"

namespace quorvane::wavelet {

namespace detail {
inline WaveletError cannot_allocate_floats(std::size_t count) {
  return WaveletError::cannot_allocate(count * sizeof(float));
}
}  // namespace detail

// A zero-filled result vector (the filter-bank inverse adds into its output).
// Reserved first, so that a large one is advised to take huge pages before
// the zeros touch it.
inline WaveletResult<std::vector<float>> zeroed_floats(std::size_t count) {
  try {
    std::vector<float> zeros;
    zeros.reserve(count);
    advise_huge_pages(zeros.data(), count * sizeof(float));
    zeros.resize(count, 0.0f);
    return zeros;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Err{detail::cannot_allocate_floats(count)};
}

// A result vector holding a copy of `values`.
inline WaveletResult<std::vector<float>> copied_floats(std::span<const float> values) {
  try {
    return std::vector<float>(values.begin(), values.end());
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Err{detail::cannot_allocate_floats(values.size())};
}

// Working memory that is written before it is read: not initialised, so a
// large buffer costs no pass of zeros.
class WorkBuffer {
 public:
  WorkBuffer() = default;
  std::span<float> span() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }

 private:
  friend WaveletResult<WorkBuffer> work_buffer(std::size_t count);
  std::unique_ptr<float[]> data_;
  std::size_t size_ = 0;
};

inline WaveletResult<WorkBuffer> work_buffer(std::size_t count) {
  WorkBuffer buffer;
  try {
    buffer.data_.reset(new float[count]);
    buffer.size_ = count;
    return buffer;
  } catch (const std::bad_alloc&) {
  }
  return Err{detail::cannot_allocate_floats(count)};
}

}  // namespace quorvane::wavelet
