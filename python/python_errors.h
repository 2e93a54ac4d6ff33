// Turning failures into Python exceptions: the codec's QuorvaneError, and
// C++ exceptions (std::bad_alloc above all) that must never leave the module.
#pragma once

#include "python_api.h"

#include <exception>
#include <new>
#include <string_view>

#include "quorvane/codec/error.h"

namespace quorvane::python {

// Raises `type` with a UTF-8 message that may hold NUL bytes (a stream's
// magic can render as "\0\0\0\0"). Always returns nullptr.
PyObject* raise_with_text(PyObject* type, std::string_view text);

// OutOfMemory becomes MemoryError, every other variant ValueError, each with
// the error's message and no prefix. Always returns nullptr.
PyObject* raise_codec_error(const codec::QuorvaneError& error);

// Sets an exception for a C++ exception caught at the module boundary.
void raise_from_cpp_exception(std::exception_ptr exception);

// Runs `body` (returning a new reference or nullptr with an exception set)
// so that no C++ exception crosses into the interpreter: a failed allocation
// anywhere below becomes MemoryError, and every buffer and reference the body
// holds is released by unwinding.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_from_cpp_exception(std::current_exception());
    return nullptr;
  }
}

}  // namespace quorvane::python
