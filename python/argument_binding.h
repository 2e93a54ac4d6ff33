// Binding of call arguments to named parameters, shared by compress_signal,
// decompress_signal and the QuorvCompressionOptions constructor, and the
// rules for reporting a parameter whose value cannot be converted.
#pragma once

#include "python_api.h"

#include <cstddef>
#include <span>

namespace quorvane::python {

// What a callable accepts: every parameter may be passed by position or by
// keyword; the first `required` ones must be given.
struct Signature {
  const char* display_name;  // "compress_signal()", as the messages show it
  std::span<const char* const> parameters;
  std::size_t required;
};

// Fills `bound` (one borrowed slot per parameter, nullptr when not given)
// from a vectorcall argument list. On failure sets TypeError, returns false.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, std::span<PyObject*> bound);

// The same for a tuple of positional arguments and an optional dict of
// keyword arguments, as tp_new receives them.
bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         std::span<PyObject*> bound);

// Call after converting `parameter` failed: a pending exception of exactly
// type TypeError is replaced by TypeError("argument '{parameter}': {text}")
// carrying the old exception's __cause__; any other exception stays as it is.
void prefix_argument_error(const char* parameter);

// Sets TypeError "'{actual}' object is not an instance of '{expected}'"
// ("'None' is not an instance of '{expected}'" for None).
void set_cast_error(PyObject* object, const char* expected);

}  // namespace quorvane::python
