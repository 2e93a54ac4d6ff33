#include "decoded_array.h"

#include <memory>

namespace quorvane::python {
namespace {

constexpr char kOwnerName[] = "quorvane.decoded_samples";

void free_decoded_samples(PyObject* owner) {
  delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(owner, kOwnerName));
}

}  // namespace

PyObject* wrap_decoded_samples(std::vector<float>&& samples) {
  npy_intp length = static_cast<npy_intp>(samples.size());
  if (length == 0) {
    // No buffer to hand over; NumPy's own empty array has the same properties.
    return PyArray_SimpleNew(1, &length, NPY_FLOAT32);
  }
  auto buffer = std::make_unique<std::vector<float>>(std::move(samples));
  float* data = buffer->data();
  OwnedRef owner(PyCapsule_New(buffer.get(), kOwnerName, &free_decoded_samples));
  if (!owner) return nullptr;
  buffer.release();  // the capsule owns it now

  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);
  npy_intp stride = sizeof(float);
  // PyArray_NewFromDescr takes the descr reference, also on failure.
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, &stride, data,
                                         NPY_ARRAY_WRITEABLE, nullptr);
  if (array == nullptr) return nullptr;
  // PyArray_SetBaseObject takes the owner reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace quorvane::python
