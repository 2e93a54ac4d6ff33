// The sample input of compress_signal: which arrays are accepted, and how
// they become a read-only float32 span for the codec.
#pragma once

#include "numpy_api.h"

#include <memory>
#include <optional>
#include <span>

namespace quorvane::python {

enum class SampleType { float32, float64 };

// float32 when `object` is a 1-D ndarray (or subclass) whose dtype is
// equivalent to native float32, else float64 under the same rules, else
// nothing. Needs the NumPy API.
std::optional<SampleType> classify_samples(PyObject* object);

// The samples of a classified array as float32. float32 arrays are viewed in
// place; float64 arrays are narrowed into one buffer owned here. The array
// must outlive this object and is never written.
class SampleView {
 public:
  // Returns false with an exception set: TypeError for a non-empty array that
  // is misaligned or not contiguous, MemoryError if the narrowing buffer
  // cannot be had.
  bool assign(PyArrayObject* array, SampleType type);

  std::span<const float> samples() const { return samples_; }
  // Frees the narrowing buffer, if any.
  void release() {
    samples_ = {};
    narrowed_.reset();
  }

 private:
  std::span<const float> samples_;
  std::unique_ptr<float[]> narrowed_;
};

}  // namespace quorvane::python
