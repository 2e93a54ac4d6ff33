// The result of decompress_signal: a NumPy array around the decoded buffer.
#pragma once

#include "numpy_api.h"

#include <vector>

namespace quorvane::python {

// A new writeable, C-contiguous 1-D float32 array whose memory is `samples`'
// own buffer, without a copy: a capsule owning the vector is the array's
// base and frees it with the array. Returns nullptr with an exception set on
// failure (the buffer is then freed). Needs the NumPy API.
PyObject* wrap_decoded_samples(std::vector<float>&& samples);

}  // namespace quorvane::python
