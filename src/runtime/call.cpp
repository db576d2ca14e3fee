// Calls, attribute access, module globals and the with statement, returning Ref.

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

void raise_value_error(std::initializer_list<Piece> pieces) noexcept {
  Ref message = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  for (const Piece& piece : pieces) {
    if (!message) return;
    Ref part = piece.obj ? Ref::borrow(piece.obj) : str(piece.text);
    message = part ? Ref::steal(PyUnicode_Concat(message.get(), part.get())) : Ref{};
  }
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

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

int With::enter(PyObject* manager) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
  Ref enter_fn;
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(type, "__enter__", &found) < 0) return -1;
  enter_fn = Ref::steal(found);
  found = nullptr;
  if (PyObject_GetOptionalAttrString(type, "__exit__", &found) < 0) return -1;
  exit_ = Ref::steal(found);
  if (!enter_fn || !exit_) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
    return -1;
  }
  manager_ = Ref::borrow(manager);
  Ref entered = call(enter_fn.get(), manager);
  if (!entered) {
    exit_.reset();
    return -1;
  }
  return 0;
}

Ref With::exit(Ref result) noexcept {
  if (!exit_) return result;
  Ref exit_fn = std::move(exit_);
  if (result) {
    Ref r = call(exit_fn.get(), manager_.get(), Py_None, Py_None, Py_None);
    if (!r) return {};
    return result;
  }
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* tb = PyException_GetTraceback(exc);
  Ref tb_ref = Ref::steal(tb);
  Ref suppress = call(exit_fn.get(), manager_.get(),
                      reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                      tb ? tb : Py_None);
  if (!suppress) {
    // __exit__ raised: its exception wins, chained to the original.
    PyObject* inner = PyErr_GetRaisedException();
    PyException_SetContext(inner, exc);  // steals exc
    PyErr_SetRaisedException(inner);
    return {};
  }
  int truth = PyObject_IsTrue(suppress.get());
  if (truth < 0) {
    Py_DECREF(exc);
    return {};
  }
  if (truth) {
    Py_DECREF(exc);
    return none();
  }
  PyErr_SetRaisedException(exc);
  return {};
}

}  // namespace lm
