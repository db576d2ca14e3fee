// Calls, attribute access, module globals and the with statement, returning Ref.

#include "capi/call.hpp"

#include "capi/names.hpp"

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

namespace {

// The special method `name` of the manager's class (its MRO only, never the
// instance or the metaclass), bound to the manager, as `with` looks it up:
// empty without an exception when the class has none.
Ref special_method(PyObject* manager, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(manager);
  Ref found = Ref::steal(_PyType_LookupRef(type, name));
  if (!found) return {};
  descrgetfunc bind = Py_TYPE(found.get())->tp_descr_get;
  if (!bind) return found;
  return Ref::steal(bind(found.get(), manager, reinterpret_cast<PyObject*>(type)));
}

}  // namespace

int With::enter(PyObject* manager) noexcept {
  Ref enter_fn = special_method(manager, N.__enter__);
  if (!enter_fn && PyErr_Occurred()) return -1;
  // Bound now: a C method bound to the manager is later called with the
  // tuple as it is, without copying the arguments.
  Ref bound = enter_fn ? special_method(manager, N.__exit__) : Ref{};
  if (!bound) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError,
                   "'%.200s' object does not support the context manager protocol",
                   Py_TYPE(manager)->tp_name);
    return -1;
  }
  Ref args = Ref::steal(PyTuple_Pack(3, Py_None, Py_None, Py_None));
  if (!args) return -1;
  Ref entered = call(enter_fn.get());
  if (!entered) return -1;
  exit_ = std::move(bound);
  args_ = std::move(args);
  return 0;
}

Ref With::exit(Ref result) noexcept {
  if (!exit_) return result;
  Ref exit_fn = std::move(exit_);
  Ref args = std::move(args_);
  PyObject* exc = result ? nullptr : PyErr_GetRaisedException();
  if (exc) {
    // A tuple made now, never the one made at enter filled in place (a tuple
    // is not changed once others may have seen it). Without memory for it,
    // __exit__ gets that (None, None, None): the lock is released all the same.
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    Ref filled = Ref::steal(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                                         tb ? tb.get() : Py_None));
    if (filled)
      args = std::move(filled);
    else
      PyErr_Clear();
  }
  Ref answer = Ref::steal(PyObject_Call(exit_fn.get(), args.get(), nullptr));
  if (!exc) return answer ? std::move(result) : Ref{};
  if (!answer) {
    // __exit__ raised: its exception wins, chained to the original.
    raise_chained(PyErr_GetRaisedException(), exc);
    return {};
  }
  Ref in_flight = Ref::steal(exc);
  int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return {};
  if (truth) return none();
  PyErr_SetRaisedException(in_flight.release());
  return {};
}

void raise_chained(PyObject* inner, PyObject* outer) noexcept {
  Ref owned_outer = Ref::steal(outer);
  if (inner != outer) {
    // Like the interpreter, cut a link back to `inner` from outer's chain
    // first, so that no cycle forms (the walk is bounded: a chain built by
    // hand may already loop).
    PyObject* link = outer;
    for (int steps = 0; link && steps < 1000; ++steps) {
      Ref context = Ref::steal(PyException_GetContext(link));
      if (context.get() == inner) {
        PyException_SetContext(link, nullptr);
        break;
      }
      link = context.get();  // still held by the link before it
    }
    PyException_SetContext(inner, owned_outer.release());
  }
  PyErr_SetRaisedException(inner);
}

}  // namespace lm
