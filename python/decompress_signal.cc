// decompress_signal(data) -> numpy.ndarray
#include <array>
#include <cstdint>
#include <span>

#include "argument_binding.h"
#include "decoded_array.h"
#include "entry_functions.h"
#include "interpreter_lock.h"
#include "numpy_api.h"
#include "python_errors.h"
#include "quorvane/codec/codec.h"

namespace quorvane::python {
namespace {

constexpr std::array<const char*, 1> kParameters = {"data"};
constexpr Signature kSignature{"decompress_signal()", kParameters, 1};

PyObject* decompress_signal_impl(PyObject* data) {
  // bytes and its subclasses only: their buffer cannot change under us.
  if (!PyBytes_Check(data)) {
    set_cast_error(data, "bytes");
    prefix_argument_error("data");
    return nullptr;
  }
  // Loaded before decoding, so that a missing NumPy costs no decoding work.
  if (!ensure_numpy_api()) return nullptr;
  // Our own reference keeps the bytes (immutable) alive while other threads
  // run during decoding.
  Py_INCREF(data);
  OwnedRef held(data);
  const std::span stream(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  auto result = [&] {
    ReleasedInterpreterLock unlocked;
    return codec::decompress(stream);
  }();
  held.reset();
  if (!result.ok()) return raise_codec_error(result.error());
  return wrap_decoded_samples(std::move(result).value());
}

PyObject* decompress_signal(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    std::array<PyObject*, kParameters.size()> bound{};
    if (!bind_fastcall(kSignature, args, nargsf, kwnames, bound)) return nullptr;
    return decompress_signal_impl(bound[0]);
  });
}

}  // namespace

PyMethodDef kDecompressSignalDef = {
    "decompress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decompress_signal)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Quorvane bytes object into a 1-D float32 NumPy array.",
};

}  // namespace quorvane::python
