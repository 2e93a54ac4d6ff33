// The module object: multi-phase initialisation with one exec step that adds
// the options class and the two functions, listing each in __all__.
#include "argument_binding.h"
#include "entry_functions.h"
#include "options_type.h"
#include "python_api.h"

namespace quorvane::python {
namespace {

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(globals, "__all__");  // borrowed
  OwnedRef created;
  if (all == nullptr) {
    created = OwnedRef(PyList_New(0));
    if (!created || PyDict_SetItemString(globals, "__all__", created.get()) < 0) return -1;
    all = created.get();
  } else if (!PyList_Check(all)) {
    set_cast_error(all, "list");
    return -1;
  }
  OwnedRef name_object(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all, name_object.get()) < 0) return -1;
  return PyObject_SetAttr(module, name_object.get(), value);
}

// Module functions are METH_STATIC, which PyModule_AddFunctions refuses, so
// they are built here, bound to the module and named after it.
int add_function(PyObject* module, PyMethodDef* definition) {
  OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  OwnedRef function(PyCFunction_NewEx(definition, module, module_name.get()));
  if (!function) return -1;
  return add_public(module, definition->ml_name, function.get());
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    set_cast_error(module, "module");
    return -1;
  }
  OwnedRef options_type(create_options_type());
  if (!options_type) return -1;
  if (add_public(module, "QuorvCompressionOptions", options_type.get()) < 0) return -1;
  if (add_function(module, &kCompressSignalDef) < 0) return -1;
  if (add_function(module, &kDecompressSignalDef) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "quorvane",    // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: the functions are added by exec_module
    kModuleSlots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace
}  // namespace quorvane::python

PyMODINIT_FUNC PyInit_quorvane() { return PyModuleDef_Init(&quorvane::python::kModuleDef); }
