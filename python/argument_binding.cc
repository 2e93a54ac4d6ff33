#include "argument_binding.h"

#include <string>

namespace quorvane::python {
namespace {

bool check_positional_count(const Signature& signature, std::size_t given) {
  const std::size_t total = signature.parameters.size();
  if (given <= total) return true;
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required != total) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                 signature.display_name, signature.required, total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                 signature.display_name, total, given, verb);
  }
  return false;
}

// Matches one keyword argument by exact name.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<PyObject*> bound) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) != 0) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   signature.display_name, signature.parameters[i]);
      return false;
    }
    bound[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               signature.display_name, name);
  return false;
}

bool check_required_present(const Signature& signature, std::span<PyObject*> bound) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) count += bound[i] == nullptr;
  if (count == 0) return true;
  // "'a'", "'a' and 'b'", "'a', 'b' and 'c'".
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] != nullptr) continue;
    if (listed > 0) list += listed + 1 == count ? " and " : ", ";
    list += '\'';
    list += signature.parameters[i];
    list += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               signature.display_name, count, count == 1 ? "argument" : "arguments",
               list.c_str());
  return false;
}

void clear_slots(std::span<PyObject*> bound) {
  for (PyObject*& slot : bound) slot = nullptr;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, std::span<PyObject*> bound) {
  clear_slots(bound);
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (!check_positional_count(signature, given)) return false;
  for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      // Keyword values follow the positional ones in `args`.
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[given + k], bound)) {
        return false;
      }
    }
  }
  return check_required_present(signature, bound);
}

bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         std::span<PyObject*> bound) {
  clear_slots(bound);
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (!check_positional_count(signature, given)) return false;
  for (std::size_t i = 0; i < given; ++i) bound[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, bound)) return false;
    }
  }
  return check_required_present(signature, bound);
}

void prefix_argument_error(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Subclasses of TypeError are somebody else's error type: pass them on.
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  OwnedRef old_type(type), old_value(value), old_traceback(traceback);
  OwnedRef text(PyUnicode_FromFormat("argument '%s': %S", parameter, value));
  if (!text) return;
  OwnedRef replacement(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replacement) return;
  // PyException_SetCause also suppresses the context, so only set a cause
  // that exists.
  if (PyObject* cause = PyException_GetCause(value)) {
    PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void set_cast_error(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  OwnedRef qualname(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(),
               expected);
}

}  // namespace quorvane::python
