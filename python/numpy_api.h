// Every file of the module that uses the NumPy C API includes this header
// rather than numpy/arrayobject.h, so that all of them share one API table,
// filled by ensure_numpy_api() on first use and never at import.
#pragma once

#include "python_api.h"

#define PY_ARRAY_UNIQUE_SYMBOL quorvane_numpy_api_table
#ifndef QUORVANE_DEFINES_NUMPY_API_TABLE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quorvane::python {

// Makes the NumPy C API usable: the first call imports NumPy and takes the
// table from its `_ARRAY_API` capsule; later calls return at once. Returns
// false with an exception set if NumPy cannot be loaded or is incompatible.
// Must be called with the GIL held.
bool ensure_numpy_api();

}  // namespace quorvane::python
