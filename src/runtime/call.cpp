// Keyword calls and small string helpers used outside the hot paths.
#include "runtime/call.hpp"

namespace lm {

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> pos,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kw) noexcept {
  constexpr size_t kMax = 16;
  PyObject* stack[kMax + 1];
  size_t n = 0;
  if (pos.size() + kw.size() > kMax) {
    PyErr_SetString(PyExc_SystemError, "call_kw: too many arguments");
    return {};
  }
  for (PyObject* p : pos) stack[1 + n++] = p;
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
  if (!names) return {};
  Py_ssize_t i = 0;
  for (auto& [name, value] : kw) {
    PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(name));
    stack[1 + n++] = value;
  }
  return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                        pos.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kw.size() ? names.get() : nullptr));
}

Ref call_dict(PyObject* callable, std::initializer_list<PyObject*> pos,
              PyObject* kwargs) noexcept {
  constexpr size_t kMax = 16;
  PyObject* stack[kMax + 1];
  if (pos.size() > kMax) {
    PyErr_SetString(PyExc_SystemError, "call_dict: too many arguments");
    return {};
  }
  size_t n = 0;
  for (PyObject* p : pos) stack[1 + n++] = p;
  return Ref::steal(PyObject_VectorcallDict(
      callable, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwargs));
}

int attr_truth(PyObject* obj, PyObject* name) noexcept {
  Ref v = getattr(obj, name);
  if (!v) return -1;
  return PyObject_IsTrue(v.get());
}

Ref concat(std::initializer_list<PyObject*> pieces) noexcept {
  Ref out = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!out) return {};
  for (PyObject* piece : pieces) {
    out = Ref::steal(PyUnicode_Concat(out.get(), piece));
    if (!out) return {};
  }
  return out;
}

}  // namespace lm
