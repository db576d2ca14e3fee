// The level of a logging logger that carries outputs: the lowest one of its handlers takes.
#include "handlers/logger_level.hpp"

#include <utility>

#include "process/state.hpp"

namespace lm {
namespace {

// The logger's handlers now, as a tuple.
Ref handlers_of(PyObject* logger) noexcept {
  Ref current = getattr(logger, N.handlers);
  return current ? Ref::steal(PySequence_Tuple(current.get())) : Ref{};
}

// The level the handlers of `logger` ask of it (see follow_handlers).
Ref lowest_level(PyObject* logger) noexcept {
  Ref handlers = handlers_of(logger);
  if (!handlers) return {};
  Ref null_handler = logging_attr(N.NullHandler);
  if (!null_handler) return {};
  Ref lowest;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i) {
    PyObject* handler = PyTuple_GET_ITEM(handlers.get(), i);
    // Exactly a NullHandler: a subclass may well write.
    if (Py_TYPE(handler) == reinterpret_cast<PyTypeObject*>(null_handler.get())) continue;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(handler, N.level, &found) < 0) return {};
    Ref level = Ref::steal(found);
    if (!level || !PyLong_Check(level.get())) continue;
    int lower = lowest ? PyObject_RichCompareBool(level.get(), lowest.get(), Py_LT) : 1;
    if (lower < 0) return {};
    if (lower) lowest = std::move(level);
  }
  if (!lowest) return logging_attr(N.DEBUG);
  int zero = PyObject_Not(lowest.get());
  if (zero < 0) return {};
  return zero ? Ref::steal(PyLong_FromLong(1)) : std::move(lowest);
}

}  // namespace

int follow_handlers(PyObject* logger) noexcept {
  Ref wanted = lowest_level(logger);
  if (!wanted) return -1;
  Ref now = getattr(logger, N.level);
  if (!now) return -1;
  int same = PyObject_RichCompareBool(now.get(), wanted.get(), Py_EQ);
  if (same) return same < 0 ? -1 : 0;
  // setLevel clears the level caches of every logger logging knows.
  return call_method(logger, N.setLevel, wanted.get()) ? 0 : -1;
}

int follow_handler(PyObject* logger, PyObject* handler) noexcept {
  Ref handlers = handlers_of(logger);
  if (!handlers) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i)
    if (PyTuple_GET_ITEM(handlers.get(), i) == handler) return follow_handlers(logger);
  return 0;
}

}  // namespace lm
