// compress_signal(data, options=None) -> bytes
#include <array>
#include <vector>

#include "argument_binding.h"
#include "entry_functions.h"
#include "input_array.h"
#include "interpreter_lock.h"
#include "numpy_api.h"
#include "options_type.h"
#include "python_errors.h"
#include "quorvane/codec/codec.h"

namespace quorvane::python {
namespace {

constexpr std::array<const char*, 2> kParameters = {"data", "options"};
constexpr Signature kSignature{"compress_signal()", kParameters, 1};

PyObject* compress_signal_impl(PyObject* data, const codec::CodecOptions& options) {
  if (!ensure_numpy_api()) return nullptr;
  const auto type = classify_samples(data);
  if (!type) {
    PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
    return nullptr;
  }
  // Our own reference keeps the array alive through the codec call; nothing
  // here writes to it.
  Py_INCREF(data);
  OwnedRef array(data);
  SampleView view;
  if (!view.assign(reinterpret_cast<PyArrayObject*>(array.get()), *type)) return nullptr;

  // The codec touches no Python object: other threads run meanwhile. The
  // array stays alive through our reference; its memory is only read.
  auto result = [&] {
    ReleasedInterpreterLock unlocked;
    return codec::compress(view.samples(), options);
  }();
  view.release();
  array.reset();

  if (!result.ok()) return raise_codec_error(result.error());
  const std::vector<std::uint8_t>& stream = result.value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.data()),
                                   static_cast<Py_ssize_t>(stream.size()));
}

PyObject* compress_signal(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    std::array<PyObject*, kParameters.size()> bound{};
    if (!bind_fastcall(kSignature, args, nargsf, kwnames, bound)) return nullptr;
    // Options are checked before anything looks at the data.
    codec::CodecOptions options = kDefaultCodecOptions;
    if (bound[1] != nullptr && bound[1] != Py_None && !read_codec_options(bound[1], &options)) {
      set_cast_error(bound[1], "QuorvCompressionOptions");
      prefix_argument_error("options");
      return nullptr;
    }
    return compress_signal_impl(bound[0], options);
  });
}

}  // namespace

PyMethodDef kCompressSignalDef = {
    "compress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compress_signal)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Quorvane `bytes`.\n"
    "\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress).",
};

}  // namespace quorvane::python
