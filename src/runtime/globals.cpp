// Global lookup at the moment of use: the namespace dict, then builtins.
#include "runtime/globals.hpp"

namespace lm {

Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(globals, name, &value);
  if (found) return Ref::steal(value);  // found, or an error with value NULL
  // Builtins of the running frame, like a function's own lookup; the
  // interpreter's builtins when no Python frame is running.
  PyObject* builtins = PyEval_GetFrameBuiltins();
  if (!builtins) return {};
  Ref hold = Ref::steal(builtins);
  found = PyDict_GetItemRef(builtins, name, &value);
  if (found) return Ref::steal(value);
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

}  // namespace lm
