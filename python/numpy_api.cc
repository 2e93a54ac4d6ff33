#define QUORVANE_DEFINES_NUMPY_API_TABLE
#include "numpy_api.h"

#include <cstdlib>

namespace quorvane::python {
namespace {

// Positions in the table that have held the same functions in every NumPy
// release since the table gained them.
constexpr int kAbiVersionSlot = 0;
constexpr int kEndiannessSlot = 210;
constexpr int kFeatureVersionSlot = 211;

using VersionFunction = unsigned int (*)();
using EndiannessFunction = int (*)();

// NumPy 2 moved the multiarray module from numpy.core to numpy._core; the old
// path is a deprecated alias there, and the only path on 1.x.
PyObject* import_multiarray_module() {
  OwnedRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  OwnedRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return nullptr;
  const char* text = PyUnicode_AsUTF8(version.get());
  if (text == nullptr) return nullptr;
  const long major = std::strtol(text, nullptr, 10);
  return PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

// Reads the table and checks that it matches what the module was built for.
void** load_api_table(int* feature_version) {
  OwnedRef multiarray(import_multiarray_module());
  if (!multiarray) return nullptr;
  OwnedRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_ImportError, "NumPy's _ARRAY_API is not a capsule");
    return nullptr;
  }
  // The table lives in NumPy's extension module, which stays loaded for the
  // life of the process, so it outlives the capsule reference dropped here.
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return nullptr;

  const unsigned abi_version = reinterpret_cast<VersionFunction>(table[kAbiVersionSlot])();
  if (abi_version > NPY_VERSION) {
    PyErr_Format(PyExc_ImportError,
                 "quorvane was built for NumPy ABI version 0x%x, but NumPy has 0x%x",
                 static_cast<unsigned>(NPY_VERSION), abi_version);
    return nullptr;
  }
  const unsigned features = reinterpret_cast<VersionFunction>(table[kFeatureVersionSlot])();
  if (features < NPY_FEATURE_VERSION) {
    PyErr_Format(PyExc_ImportError,
                 "quorvane needs NumPy C-API version 0x%x or newer, but NumPy has 0x%x",
                 static_cast<unsigned>(NPY_FEATURE_VERSION), features);
    return nullptr;
  }
  const int endianness = reinterpret_cast<EndiannessFunction>(table[kEndiannessSlot])();
#if NPY_BYTE_ORDER == NPY_LITTLE_ENDIAN
  const bool same_order = endianness == NPY_CPU_LITTLE;
#else
  const bool same_order = endianness == NPY_CPU_BIG;
#endif
  if (!same_order) {
    PyErr_SetString(PyExc_ImportError, "NumPy runs with a byte order quorvane was not built for");
    return nullptr;
  }
  *feature_version = static_cast<int>(features);
  return table;
}

}  // namespace

bool ensure_numpy_api() {
  // The GIL serialises callers, so a plain check is enough, and a blocking
  // once-flag would be wrong: the import below runs Python code, which may
  // hand the GIL to another thread that then waits here for ever. If two
  // threads both load, they read the same table; the first one publishes it.
  if (PyArray_API != nullptr) return true;
  int feature_version = 0;
  void** table = load_api_table(&feature_version);
  if (table == nullptr) return false;
  if (PyArray_API == nullptr) {
    PyArray_RUNTIME_VERSION = feature_version;
    PyArray_API = table;
  }
  return true;
}

}  // namespace quorvane::python
