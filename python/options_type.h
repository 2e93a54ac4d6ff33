// QuorvCompressionOptions: an opaque, immutable holder of one CodecOptions
// value, validated in full by its constructor.
#pragma once

#include "python_api.h"

#include "quorvane/codec/options.h"

namespace quorvane::python {

// What QuorvCompressionOptions() holds, and what compress_signal uses when it
// is given no options: the codec's statement of the defaults.
using codec::kDefaultCodecOptions;

// Creates the class (a new reference), or returns nullptr with an exception.
PyObject* create_options_type();

// If `object` is a QuorvCompressionOptions instance, copies its options into
// `*options` and returns true; otherwise returns false and sets nothing.
bool read_codec_options(PyObject* object, codec::CodecOptions* options);

}  // namespace quorvane::python
