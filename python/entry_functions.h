// The module's two functions, as method records for the exec step.
#pragma once

#include "python_api.h"

namespace quorvane::python {

extern PyMethodDef kCompressSignalDef;
extern PyMethodDef kDecompressSignalDef;

}  // namespace quorvane::python
