#include "python_errors.h"

#include <string>

namespace quorvane::python {

PyObject* raise_with_text(PyObject* type, std::string_view text) {
  // "replace" keeps a message readable even if a payload is not UTF-8.
  OwnedRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                        "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* raise_codec_error(const codec::QuorvaneError& error) {
  const std::string text = error.message();
  PyObject* type = error.kind() == codec::QuorvaneError::Kind::OutOfMemory ? PyExc_MemoryError
                                                                          : PyExc_ValueError;
  return raise_with_text(type, text);
}

void raise_from_cpp_exception(std::exception_ptr exception) {
  try {
    std::rethrow_exception(exception);
  } catch (const std::bad_alloc&) {
    // PyErr_NoMemory needs no memory of its own.
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", other.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
  }
}

}  // namespace quorvane::python
