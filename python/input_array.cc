#include "input_array.h"

#include <cstddef>
#include <limits>
#include <new>

namespace quorvane::python {
namespace {

// Narrowing relies on IEEE conversion: round to nearest even, out-of-range
// values to infinities, NaN stays NaN.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

bool has_native_type(PyArrayObject* array, int type_number) {
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number);  // new reference
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  return equivalent;
}

}  // namespace

std::optional<SampleType> classify_samples(PyObject* object) {
  if (!PyArray_Check(object)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1) return std::nullopt;
  if (has_native_type(array, NPY_FLOAT32)) return SampleType::float32;
  if (has_native_type(array, NPY_FLOAT64)) return SampleType::float64;
  return std::nullopt;
}

bool SampleView::assign(PyArrayObject* array, SampleType type) {
  release();
  const npy_intp count = PyArray_SIZE(array);
  // An empty array has nothing to read, whatever its strides; the codec
  // refuses empty input with its own message.
  if (count == 0) return true;
  const int flags = PyArray_FLAGS(array);
  const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0;
  const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
  if (!aligned || !contiguous || PyArray_DATA(array) == nullptr) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  const auto length = static_cast<std::size_t>(count);
  if (type == SampleType::float32) {
    samples_ = std::span(static_cast<const float*>(PyArray_DATA(array)), length);
    return true;
  }
  narrowed_.reset(new (std::nothrow) float[length]);
  if (!narrowed_) {
    PyErr_NoMemory();
    return false;
  }
  const auto* wide = static_cast<const double*>(PyArray_DATA(array));
  for (std::size_t i = 0; i < length; ++i) narrowed_[i] = static_cast<float>(wide[i]);
  samples_ = std::span<const float>(narrowed_.get(), length);
  return true;
}

}  // namespace quorvane::python
