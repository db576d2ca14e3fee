// Reading the registries: the top position of a name's stack.
#include "module/registries.hpp"

#include "module/state.hpp"

namespace lm {

Ref top_position(PyObject* name, long fallback) noexcept {
  Ref loggers = global(N._LOGGERS);
  if (!loggers) return {};
  Ref dflt = Ref::steal(Py_BuildValue("{l:i}", fallback, 0));
  if (!dflt) return {};
  Ref stack = call_method(loggers.get(), N.get, name, dflt.get());
  if (!stack) return {};
  Ref keys = call_method(stack.get(), N.keys);
  if (!keys) return {};
  Ref it = Ref::steal(PyObject_GetIter(keys.get()));
  if (!it) return {};
  Ref best;
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    if (best) {
      int greater = PyObject_RichCompareBool(key.get(), best.get(), Py_GT);
      if (greater < 0) return {};
      if (!greater) continue;
    }
    best = std::move(key);
  }
  if (PyErr_Occurred()) return {};
  if (!best) PyErr_SetString(PyExc_ValueError, "max() iterable argument is empty");
  return best;
}

namespace {

Ref captured_key(PyObject* name, PyObject* position) noexcept {
  return Ref::steal(PyTuple_Pack(2, name, position));
}

}  // namespace

int hold_captured(PyObject* name, PyObject* position, PyObject* handlers) noexcept {
  Ref key = captured_key(name, position);
  return key ? PyDict_SetItem(state.captured, key.get(), handlers) : -1;
}

int release_captured(PyObject* name, PyObject* position) noexcept {
  Ref key = captured_key(name, position);
  if (!key) return -1;
  Ref gone;
  PyObject* value = nullptr;
  if (PyDict_Pop(state.captured, key.get(), &value) < 0) return -1;
  gone = Ref::steal(value);  // released after the dict is consistent again
  return 0;
}

int compare_position(PyObject* position, long value) noexcept {
  Ref v = Ref::steal(PyLong_FromLong(value));
  if (!v) return -1;
  return PyObject_RichCompareBool(position, v.get(), Py_GT);
}

Ref shifted(PyObject* position, long delta) noexcept {
  Ref d = Ref::steal(PyLong_FromLong(delta));
  if (!d) return {};
  return Ref::steal(PyNumber_Add(position, d.get()));
}

}  // namespace lm
