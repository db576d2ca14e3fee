// The entries of _LOGGERS and _CAPTURES read and written; the configuring path's registration.
#include "registry/registries.hpp"

#include "process/state.hpp"
#include "registry/stack.hpp"

namespace lm {

int get_dict(PyObject* reg, PyObject* reg_name, PyObject* key, Ref& out) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(reg, key, &found) < 0) return -1;
  out = Ref::steal(found);
  if (!out) return 0;
  if (!PyDict_Check(out.get())) {
    PyErr_Format(PyExc_TypeError, "%U[%R] must be a dict, not %.200s", reg_name, key,
                 Py_TYPE(out.get())->tp_name);
    return -1;
  }
  return 1;
}

namespace {

// The highest position of a name's stack, 0 for an empty one. The stack is
// read whole (other threads may write it: the registries are public); a key
// that is no position is a ValueError, raised once the section is left,
// since its repr may run Python code.
int top_of(PyObject* stack, PyObject* name, long* top) noexcept {
  *top = 0;
  bool failed = false;
  Ref misplaced;
  Py_BEGIN_CRITICAL_SECTION(stack);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (!failed && PyDict_Next(stack, &pos, &key, &value)) {
    long p = PyLong_CheckExact(key) ? PyLong_AsLong(key) : -1;
    if (p == -1 && PyErr_Occurred()) {
      failed = true;
    } else if (p < 1) {
      misplaced = Ref::borrow(key);
      failed = true;
    } else if (p > *top) {
      *top = p;
    }
  }
  Py_END_CRITICAL_SECTION();
  if (misplaced)
    PyErr_Format(PyExc_ValueError, "_LOGGERS[%R] has %R where a position (an int >= 1) belongs",
                 name, misplaced.get());
  return failed ? -1 : 0;
}

}  // namespace

int stack_top(PyObject* loggers, PyObject* name, Ref& stack, long* top) noexcept {
  *top = 0;
  int has_stack = get_dict(loggers, N._LOGGERS, name, stack);
  if (has_stack > 0 && top_of(stack.get(), name, top) < 0) return -1;
  return has_stack;
}

Ref position(long p) noexcept { return Ref::steal(PyLong_FromLong(p)); }

int put_at(PyObject* reg, PyObject* reg_name, PyObject* key, PyObject* pos,
           PyObject* value) noexcept {
  Ref per_key;
  int has = get_dict(reg, reg_name, key, per_key);
  if (has < 0) return -1;
  if (has) return PyDict_SetItem(per_key.get(), pos, value);
  per_key = Ref::steal(PyDict_New());
  if (!per_key || PyDict_SetItem(per_key.get(), pos, value) < 0) return -1;
  return PyDict_SetItem(reg, key, per_key.get());
}

void drop_if_unchanged(PyObject* reg, PyObject* key, PyObject* expected,
                       Pending& pending) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(reg, key, &found) < 0) return pending.keep();
  Ref current = Ref::steal(found);
  if (current.get() == expected && PyDict_DelItem(reg, key) < 0) pending.keep();
}

void drop_if_empty(PyObject* reg, PyObject* key, Pending& pending) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(reg, key, &found) < 0) return pending.keep();
  Ref current = Ref::steal(found);
  if (current && PyDict_Check(current.get()) && PyDict_GET_SIZE(current.get()) == 0 &&
      PyDict_DelItem(reg, key) < 0)
    pending.keep();
}

int check_logger_object(PyObject* obj, PyObject* name, PyObject* pos) noexcept {
  Ref base = global(N._LogBase);
  if (!base) return -1;
  int is = PyObject_IsInstance(obj, base.get());
  if (is == 0)
    PyErr_Format(PyExc_TypeError, "_LOGGERS[%R][%R] is not a logger object: %R", name, pos,
                 obj);
  return is > 0 ? 1 : -1;
}

void Undoing::done(PyObject* name) noexcept {
  if (pending.finish() < 0)
    PyErr_FormatUnraisable("Exception ignored while undoing a failed construction of logger %R",
                           name);
  PyErr_SetRaisedException(in_flight_.release());
}

int check_registries() noexcept {
  return registry_dict(N._LOGGERS) && registry_dict(N._CAPTURES) ? 0 : -1;
}

Ref register_configured(PyObject* name, PyObject* obj) noexcept {
  Ref loggers = registry_dict(N._LOGGERS);
  if (!loggers) return {};
  Ref one = position(1);
  if (!one) return {};
  Ref stack = Ref::steal(PyDict_New());
  if (!stack || PyDict_SetItem(stack.get(), one.get(), obj) < 0 ||
      PyDict_SetItem(loggers.get(), name, stack.get()) < 0)
    return {};
  // Read back from the registry, as the caller will find it there.
  Ref registered;
  int has = get_dict(loggers.get(), N._LOGGERS, name, registered);
  if (!has) PyErr_SetObject(PyExc_KeyError, name);
  PyObject* found = nullptr;
  if (has > 0 && PyDict_GetItemRef(registered.get(), one.get(), &found) == 0)
    PyErr_SetObject(PyExc_KeyError, one.get());
  if (!found) {  // what it wrote goes
    Undoing undoing;
    drop_if_unchanged(loggers.get(), name, stack.get(), undoing.pending);
    undoing.done(name);
  }
  return Ref::steal(found);
}

}  // namespace lm
