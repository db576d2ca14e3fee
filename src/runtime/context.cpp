// The `with` statement: __enter__, then __exit__ on every way out.
#include "runtime/context.hpp"

#include "runtime/call.hpp"

namespace lm {

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
