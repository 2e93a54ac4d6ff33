#include "options_type.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "argument_binding.h"
#include "python_errors.h"
#include "quorvane/codec/error.h"
#include "quoted_value.h"

namespace quorvane::python {
namespace {

using codec::CodecOptions;
using codec::CutoffLevel;
using codec::EntropyCoder;
using codec::WaveletMethod;

// The instance layout: the options travel packed into one word.
struct OptionsObject {
  PyObject_HEAD
  std::uint32_t packed_options;
};

constexpr std::array<const char*, 4> kParameters = {"method", "scale", "cutoff", "coder"};
constexpr Signature kConstructorSignature{"QuorvCompressionOptions.__new__()", kParameters, 0};

// CPython derives __text_signature__ from this and reports no docstring.
constexpr char kClassDoc[] =
    "QuorvCompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None)\n--\n\n";

// The text signature states the same defaults as kDefaultCodecOptions
// (inspect.signature shows them, and the Python tools read them from there).
constexpr bool names_default(std::string_view doc, std::string_view parameter,
                             std::string_view value) {
  const std::size_t at = doc.find(parameter);
  return at != std::string_view::npos && doc.substr(at + parameter.size(), value.size()) == value;
}
constexpr bool names_default_scale(std::string_view doc, unsigned scale) {
  std::size_t at = doc.find("scale=");
  if (at == std::string_view::npos) return false;
  unsigned value = 0;
  for (at += 6; at < doc.size() && doc[at] >= '0' && doc[at] <= '9'; ++at) {
    value = value * 10 + static_cast<unsigned>(doc[at] - '0');
  }
  return value == scale;
}
static_assert(names_default(kClassDoc, "method=\"", codec::method_name(kDefaultCodecOptions.method)));
static_assert(names_default_scale(kClassDoc, kDefaultCodecOptions.scale));
static_assert(names_default(kClassDoc, "cutoff=\"", codec::cutoff_name(kDefaultCodecOptions.cutoff)));
// coder=None stands for the default coder.
static_assert(names_default(kClassDoc, "coder=", "None") &&
              kDefaultCodecOptions.coder == EntropyCoder::automatic);

// The constructor's arguments after conversion, before validation.
struct ConvertedArguments {
  std::string_view method = codec::method_name(kDefaultCodecOptions.method);
  std::uint8_t scale = kDefaultCodecOptions.scale;
  std::string_view cutoff = codec::cutoff_name(kDefaultCodecOptions.cutoff);
  std::optional<std::string_view> coder;  // empty means the default coder
};

// A str (or subclass) as UTF-8; the view lives as long as `object`.
bool convert_string(PyObject* object, const char* parameter, std::string_view* out) {
  if (!PyUnicode_Check(object)) {
    set_cast_error(object, "str");
    prefix_argument_error(parameter);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    prefix_argument_error(parameter);  // UnicodeEncodeError passes unchanged
    return false;
  }
  *out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

// Any integer (or __index__ object) that fits 0..255; the 6..12 range is
// checked later, with the other validations.
bool convert_scale(PyObject* object, std::uint8_t* out) {
  // PyNumber_Index first, so that floats are refused on every Python version
  // (3.9's PyLong_AsLong still truncated them).
  OwnedRef index(PyNumber_Index(object));
  const long value = index ? PyLong_AsLong(index.get()) : -1;
  if (value == -1 && PyErr_Occurred()) {
    prefix_argument_error("scale");
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

bool convert_arguments(std::span<PyObject*> bound, ConvertedArguments* converted) {
  if (bound[0] != nullptr && !convert_string(bound[0], "method", &converted->method)) {
    return false;
  }
  if (bound[1] != nullptr && !convert_scale(bound[1], &converted->scale)) return false;
  if (bound[2] != nullptr && !convert_string(bound[2], "cutoff", &converted->cutoff)) {
    return false;
  }
  if (bound[3] != nullptr && bound[3] != Py_None) {
    std::string_view coder;
    if (!convert_string(bound[3], "coder", &coder)) return false;
    converted->coder = coder;
  }
  return true;
}

std::optional<WaveletMethod> parse_method(std::string_view name) {
  if (name == "cdf97") return WaveletMethod::cdf97;
  if (name == "cdf53") return WaveletMethod::cdf53;
  if (name == "db4") return WaveletMethod::db4;
  if (name == "sym4") return WaveletMethod::sym4;
  return std::nullopt;
}

std::optional<CutoffLevel> parse_cutoff(std::string_view name) {
  if (name == "low") return CutoffLevel::low;
  if (name == "medium") return CutoffLevel::medium;
  if (name == "high") return CutoffLevel::high;
  return std::nullopt;
}

std::optional<EntropyCoder> parse_coder(std::string_view name) {
  if (name == "deflate") return EntropyCoder::deflate;
  if (name == "arans") return EntropyCoder::arans;
  if (name == "auto") return EntropyCoder::automatic;
  return std::nullopt;
}

// Validates in a fixed order: method, cutoff, scale, coder.
bool validate_arguments(const ConvertedArguments& converted, CodecOptions* options) {
  const auto method = parse_method(converted.method);
  if (!method) {
    raise_with_text(PyExc_ValueError,
                    "Unknown method " + quoted_value(converted.method) +
                        ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'");
    return false;
  }
  const auto cutoff = parse_cutoff(converted.cutoff);
  if (!cutoff) {
    raise_with_text(PyExc_ValueError, "Unknown cutoff level " + quoted_value(converted.cutoff) +
                                          ", expected 'low' or 'medium' or 'high'");
    return false;
  }
  if (converted.scale < codec::kMinScale || converted.scale > codec::kMaxScale) {
    raise_codec_error(codec::QuorvaneError::unsupported_scale(converted.scale));
    return false;
  }
  EntropyCoder coder = kDefaultCodecOptions.coder;
  if (converted.coder) {
    const auto parsed = parse_coder(*converted.coder);
    if (!parsed) {
      raise_with_text(PyExc_ValueError, "Unknown coder " + quoted_value(*converted.coder) +
                                            ", expected 'auto', 'deflate', 'arans'");
      return false;
    }
    coder = *parsed;
  }
  *options = CodecOptions{*method, converted.scale, *cutoff, coder};
  return true;
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded([&]() -> PyObject* {
    std::array<PyObject*, kParameters.size()> bound{};
    if (!bind_tuple_and_dict(kConstructorSignature, args, kwargs, bound)) return nullptr;
    ConvertedArguments converted;
    if (!convert_arguments(bound, &converted)) return nullptr;
    CodecOptions options;
    if (!validate_arguments(converted, &options)) return nullptr;

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<OptionsObject*>(self)->packed_options = options.pack();
    return self;
  });
}

void options_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(type);
}

PyType_Slot kOptionsSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&options_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

// Not Py_TPFLAGS_BASETYPE: the class cannot be subclassed, so an object whose
// type deallocates with options_dealloc has exactly the OptionsObject layout.
PyType_Spec kOptionsSpec = {
    "builtins.QuorvCompressionOptions",
    sizeof(OptionsObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kOptionsSlots,
};

}  // namespace

PyObject* create_options_type() { return PyType_FromSpec(&kOptionsSpec); }

bool read_codec_options(PyObject* object, CodecOptions* options) {
  // Identified by its deallocator rather than by a stored type object, which
  // keeps the module free of global state and holds for every module
  // instance, should the module be initialised more than once.
  if (Py_TYPE(object)->tp_dealloc != &options_dealloc) return false;
  *options = CodecOptions::unpack(reinterpret_cast<OptionsObject*>(object)->packed_options);
  return true;
}

}  // namespace quorvane::python
