// quorvane_tools._encoder: the codec's target encoder for Python. Takes
// float32 samples through the buffer protocol (the companion package converts
// whatever the caller has), releases the interpreter lock while encoding, and
// reports failures as ValueError (TargetUnreachable, a ValueError subclass,
// when no stream of the format meets the target) or MemoryError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "quorvane/codec/band_payload.h"
#include "quorvane/codec/target_encoder.h"

namespace {

using quorvane::codec::QualityTarget;
using quorvane::codec::StreamCoder;
using quorvane::codec::TargetError;
using quorvane::codec::TargetSettings;
using quorvane::codec::WaveletMethod;

PyObject* g_target_unreachable = nullptr;

// A 1-D C-contiguous float32 buffer, released on scope exit.
class SampleBuffer {
 public:
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
    held_ = true;
    const char* format = view_.format == nullptr ? "B" : view_.format;
    if (format[0] == '<' || format[0] == '=' || format[0] == '@') ++format;
    if (view_.ndim != 1 || view_.itemsize != 4 || std::strcmp(format, "f") != 0) {
      PyErr_SetString(PyExc_TypeError, "samples must be a 1-D C-contiguous native float32 buffer");
      return false;
    }
    return true;
  }
  std::span<const float> samples() const {
    return {static_cast<const float*>(view_.buf), static_cast<std::size_t>(view_.shape[0])};
  }
  ~SampleBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* raise(const TargetError& error) {
  PyObject* type = error.kind() == TargetError::Kind::TargetUnreachable ? g_target_unreachable : PyExc_ValueError;
  PyErr_SetString(type, error.message().c_str());
  return nullptr;
}

// An optional float argument: None or a number.
bool optional_double(PyObject* object, std::optional<double>& out) {
  if (object == nullptr || object == Py_None) return true;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// A sequence of small integer ids.
template <class Enum>
bool id_list(PyObject* object, std::vector<Enum>& out) {
  if (object == nullptr || object == Py_None) return true;
  PyObject* sequence = PySequence_Fast(object, "expected a sequence of integer ids");
  if (sequence == nullptr) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
  for (Py_ssize_t i = 0; i < count; ++i) {
    const long id = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence, i));
    if (id == -1 && PyErr_Occurred()) {
      Py_DECREF(sequence);
      return false;
    }
    if (id < 0 || id > 255) {
      Py_DECREF(sequence);
      PyErr_Format(PyExc_ValueError, "id %ld out of range", id);
      return false;
    }
    out.push_back(static_cast<Enum>(id));
  }
  Py_DECREF(sequence);
  return true;
}

PyObject* settings_tuple(const TargetSettings& settings) {
  return Py_BuildValue("(iiidfi)", static_cast<int>(settings.method), static_cast<int>(settings.levels),
                       static_cast<int>(settings.scale), static_cast<double>(settings.step), settings.dead_zone,
                       static_cast<int>(settings.coder));
}

PyObject* encode_to_target(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"samples", "max_abs_error", "min_psnr", "max_rmse", "methods", "coders", nullptr};
  PyObject* data = nullptr;
  PyObject* max_abs = Py_None;
  PyObject* min_psnr = Py_None;
  PyObject* max_rmse = Py_None;
  PyObject* methods = Py_None;
  PyObject* coders = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:encode_to_target", const_cast<char**>(keywords), &data,
                                   &max_abs, &min_psnr, &max_rmse, &methods, &coders)) {
    return nullptr;
  }
  QualityTarget target;
  if (!optional_double(max_abs, target.max_abs_error) || !optional_double(min_psnr, target.min_psnr) ||
      !optional_double(max_rmse, target.max_rmse) || !id_list(methods, target.methods) ||
      !id_list(coders, target.coders)) {
    return nullptr;
  }
  SampleBuffer buffer;
  if (!buffer.acquire(data)) return nullptr;

  std::optional<quorvane::codec::TargetResult<quorvane::codec::TargetEncoding>> result;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(quorvane::codec::encode_to_target(buffer.samples(), target));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return PyErr_NoMemory();
  if (!result->ok()) return raise(result->error());
  const quorvane::codec::TargetEncoding& encoding = result->value();
  PyObject* stream = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoding.stream.data()),
                                               static_cast<Py_ssize_t>(encoding.stream.size()));
  if (stream == nullptr) return nullptr;
  PyObject* settings = settings_tuple(encoding.settings);
  if (settings == nullptr) {
    Py_DECREF(stream);
    return nullptr;
  }
  // The decoded samples as native float32 bytes (NumPy views them without a
  // copy): the caller measures them against its own input instead of
  // decoding the stream again.
  PyObject* decoded = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoding.decoded.data()),
                                                static_cast<Py_ssize_t>(encoding.decoded.size() * sizeof(float)));
  if (decoded == nullptr) {
    Py_DECREF(stream);
    Py_DECREF(settings);
    return nullptr;
  }
  return Py_BuildValue("(NN(ddd)N)", stream, settings, encoding.metrics.max_abs_error, encoding.metrics.rmse,
                       encoding.metrics.psnr, decoded);
}

PyObject* encode_with_settings(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"samples", "method", "levels", "scale", "step", "dead_zone", "coder", nullptr};
  PyObject* data = nullptr;
  int method = 0, levels = 0, scale = 0, coder = 0;
  float step = 0.0f, dead_zone = 0.0f;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O$iiiffi:encode_with_settings", const_cast<char**>(keywords),
                                   &data, &method, &levels, &scale, &step, &dead_zone, &coder)) {
    return nullptr;
  }
  if (method < 0 || method > 255 || levels < 0 || levels > 255 || scale < 0 || scale > 255 || coder < 0 ||
      coder > 255) {
    PyErr_SetString(PyExc_ValueError, "method, levels, scale and coder must lie in 0..255");
    return nullptr;
  }
  const TargetSettings settings{static_cast<WaveletMethod>(method), static_cast<std::uint8_t>(levels),
                                static_cast<std::uint8_t>(scale), step, dead_zone, static_cast<StreamCoder>(coder)};
  SampleBuffer buffer;
  if (!buffer.acquire(data)) return nullptr;
  std::optional<quorvane::codec::TargetResult<std::vector<std::uint8_t>>> result;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(quorvane::codec::encode_with_settings(buffer.samples(), settings));
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return PyErr_NoMemory();
  if (!result->ok()) return raise(result->error());
  const std::vector<std::uint8_t>& stream = result->value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.data()),
                                   static_cast<Py_ssize_t>(stream.size()));
}

// The reference pipeline with the payload coded by coder 2; the options are
// the codec's numbers (method 0..3, scale 6..12, cut-off 0..2), checked by
// the codec with its own messages.
PyObject* compress_with_band_coder(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"samples", "method", "scale", "cutoff", nullptr};
  PyObject* data = nullptr;
  int method = 0, scale = 0, cutoff = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O$iii:compress_with_band_coder", const_cast<char**>(keywords),
                                   &data, &method, &scale, &cutoff)) {
    return nullptr;
  }
  if (method < 0 || method > 255 || scale < 0 || scale > 255 || cutoff < 0 || cutoff > 255) {
    PyErr_SetString(PyExc_ValueError, "method, scale and cutoff must lie in 0..255");
    return nullptr;
  }
  quorvane::codec::CodecOptions options;
  options.method = static_cast<WaveletMethod>(method);
  options.scale = static_cast<std::uint8_t>(scale);
  options.cutoff = static_cast<quorvane::codec::CutoffLevel>(cutoff);
  SampleBuffer buffer;
  if (!buffer.acquire(data)) return nullptr;
  std::optional<quorvane::codec::CodecResult<std::vector<std::uint8_t>>> result;
  Py_BEGIN_ALLOW_THREADS
  result.emplace(quorvane::codec::compress_with_band_coder(buffer.samples(), options));
  Py_END_ALLOW_THREADS
  if (!result->ok()) {
    const quorvane::codec::QuorvaneError& error = result->error();
    PyObject* type =
        error.kind() == quorvane::codec::QuorvaneError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError;
    PyErr_SetString(type, error.message().c_str());
    return nullptr;
  }
  const std::vector<std::uint8_t>& stream = result->value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.data()),
                                   static_cast<Py_ssize_t>(stream.size()));
}

PyMethodDef kMethods[] = {
    {"encode_to_target", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_to_target)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_to_target(samples, *, max_abs_error=None, min_psnr=None, max_rmse=None, methods=None, coders=None)\n"
     "--\n\n"
     "The smallest stream found that meets the target, as (stream, settings, metrics, decoded), decoded being\n"
     "the stream's samples as decompress produced them (native float32 bytes)."},
    {"encode_with_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_with_settings)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_with_settings(samples, *, method, levels, scale, step, dead_zone, coder)\n"
     "--\n\n"
     "A stream written with exactly these settings."},
    {"compress_with_band_coder",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_with_band_coder)),
     METH_VARARGS | METH_KEYWORDS,
     "compress_with_band_coder(samples, *, method, scale, cutoff)\n"
     "--\n\n"
     "The reference stream of these options with its payload coded by coder 2 (opt-in)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  g_target_unreachable =
      PyErr_NewExceptionWithDoc("quorvane_tools._encoder.TargetUnreachable",
                                "No stream of the format meets the target.", PyExc_ValueError, nullptr);
  if (g_target_unreachable == nullptr) return -1;
  Py_INCREF(g_target_unreachable);
  if (PyModule_AddObject(module, "TargetUnreachable", g_target_unreachable) != 0) {
    Py_DECREF(g_target_unreachable);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_encoder",
                       "The codec's target encoder; use quorvane_tools.compress_to_target.", 0, kMethods, kSlots,
                       nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__encoder() { return PyModuleDef_Init(&kModule); }
