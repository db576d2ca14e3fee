// close: ends a logger object and hands the logging logger back.
#include "handlers/rebuild.hpp"
#include "module/methods.hpp"
#include "module/registries.hpp"
#include "module/state.hpp"
#include "runtime/context.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

// Mapping lookups by a Python key, as dict.get(key) would read.
Ref get_or_none(PyObject* mapping, PyObject* key) noexcept {
  return call_method(mapping, N.get, key);
}

// A private copy of the "handler_ids" of the capture record below the top.
Ref remaining_ids(PyObject* name, PyObject* below) noexcept {
  Ref captures = global(N._CAPTURES);
  if (!captures) return {};
  int has_name = PySequence_Contains(captures.get(), name);
  if (has_name < 0) return {};
  if (has_name) {
    Ref per_name = Ref::steal(PyObject_GetItem(captures.get(), name));
    if (!per_name) return {};
    int has_record = PySequence_Contains(per_name.get(), below);
    if (has_record < 0) return {};
    if (has_record) {
      Ref record = Ref::steal(PyObject_GetItem(per_name.get(), below));
      Ref empty = Ref::steal(PyList_New(0));
      if (!record || !empty) return {};
      Ref ids = call_method(record.get(), N.get, N.handler_ids, empty.get());
      if (!ids) return {};
      return call_method(ids.get(), N.copy);
    }
  }
  return Ref::steal(PyList_New(0));
}

// Keeps the captured handlers that were never detached; removes and
// closes every other handler. Leaves in `ids` the captured, detached ones.
int sort_handlers(PyObject* logger, PyObject* ids) noexcept {
  Ref current = getattr(logger, N.handlers);
  if (!current) return -1;
  Ref walk = Ref::steal(PySequence_List(current.get()));
  if (!walk) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
    PyObject* handler = PyList_GET_ITEM(walk.get(), i);
    Ref id = Ref::steal(PyLong_FromVoidPtr(handler));
    if (!id) return -1;
    int captured = PySequence_Contains(ids, id.get());
    if (captured < 0) return -1;
    if (captured) {
      if (!call_method(ids, N.remove, id.get())) return -1;
      continue;
    }
    if (!call_method(logger, N.removeHandler, handler)) return -1;
    if (!call_method(handler, N.close)) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
      PyErr_Clear();
    }
  }
  return 0;
}

// The "handlers" of the capture record below the top, or an empty list.
Ref recorded_handlers(PyObject* name, PyObject* below) noexcept {
  Ref captures = global(N._CAPTURES);
  if (!captures) return {};
  Ref capture = get_or_none(captures.get(), name);
  if (!capture) return {};
  int truthy = PyObject_IsTrue(capture.get());
  if (truthy < 0) return {};
  if (truthy) {
    Ref prev = get_or_none(capture.get(), below);
    if (!prev) return {};
    truthy = PyObject_IsTrue(prev.get());
    if (truthy < 0) return {};
    if (truthy) {
      Ref empty = Ref::steal(PyList_New(0));
      if (!empty) return {};
      return call_method(prev.get(), N.get, N.handlers, empty.get());
    }
  }
  return Ref::steal(PyList_New(0));
}

// Rebuilds the detached captured handlers; `rebuilt` maps each recorded
// id to its new handler.
int rebuild(PyObject* logger, PyObject* records, PyObject* ids, PyObject* rebuilt) noexcept {
  Ref it = Ref::steal(PyObject_GetIter(records));
  if (!it) return -1;
  while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
    Ref id = get_or_none(record.get(), N.id);
    if (!id) return -1;
    int detached = PySequence_Contains(ids, id.get());
    if (detached < 0) return -1;
    if (!detached) continue;
    Ref handler = rebuild_handler(logger, record.get());
    if (!handler || PyDict_SetItem(rebuilt, id.get(), handler.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// The re-enabled object's handler attributes follow their rebuilt handlers.
int repoint(PyObject* obj, PyObject* rebuilt) noexcept {
  for (PyObject* attr : {N._console_handler, N._file_handler}) {
    Ref handler = getattr(obj, attr);
    if (!handler) return -1;
    Ref id = Ref::steal(PyLong_FromVoidPtr(handler.get()));
    if (!id) return -1;
    PyObject* replacement = PyDict_GetItemWithError(rebuilt, id.get());
    if (!replacement) {
      if (PyErr_Occurred()) return -1;
      continue;
    }
    if (setattr(obj, attr, replacement) < 0) return -1;
  }
  return 0;
}

// Pops the top of the stack, hands the logger to the object below, and
// drops the registry entries that became empty.
int pop_stack(PyObject* name, PyObject* logger, PyObject* index, PyObject* below,
              PyObject* rebuilt) noexcept {
  Ref loggers = global(N._LOGGERS);
  if (!loggers) return -1;
  int positive = compare_position(index, 0);
  if (positive < 0) return -1;
  if (positive) {
    Ref stack = Ref::steal(PyObject_GetItem(loggers.get(), name));
    if (!stack) return -1;
    Ref top = call_method(stack.get(), N.pop, index);
    if (!top || !call_method(top.get(), N.disable)) return -1;
  }
  int above_one = compare_position(index, 1);
  if (above_one < 0) return -1;
  if (above_one) {
    Ref stack = Ref::steal(PyObject_GetItem(loggers.get(), name));
    if (!stack) return -1;
    Ref next = Ref::steal(PyObject_GetItem(stack.get(), below));
    if (!next || !call_method(next.get(), N.enable, logger)) return -1;
    if (repoint(next.get(), rebuilt) < 0) return -1;
  }
  Ref remaining = get_or_none(loggers.get(), name);
  if (!remaining) return -1;
  int left = PyObject_IsTrue(remaining.get());
  if (left < 0) return -1;
  if (!left && !call_method(loggers.get(), N.pop, name)) return -1;

  Ref captures = global(N._CAPTURES);
  if (!captures) return -1;
  Ref capture = get_or_none(captures.get(), name);
  if (!capture) return -1;
  int has_capture = PyObject_IsTrue(capture.get());
  if (has_capture <= 0) return has_capture;
  Ref per_name = Ref::steal(PyObject_GetItem(captures.get(), name));
  if (!per_name || !call_method(per_name.get(), N.pop, below)) return -1;
  if (release_captured(name, below) < 0) return -1;
  per_name = Ref::steal(PyObject_GetItem(captures.get(), name));
  if (!per_name) return -1;
  int records_left = PyObject_IsTrue(per_name.get());
  if (records_left < 0) return -1;
  if (!records_left && !call_method(captures.get(), N.pop, name)) return -1;
  return 0;
}

// The capture record of a logger made outside this module (position 0),
// or None.
Ref foreign_record(PyObject* name) noexcept {
  Ref captures = global(N._CAPTURES);
  if (!captures) return {};
  Ref capture = get_or_none(captures.get(), name);
  if (!capture || capture.get() == Py_None) return capture;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return {};
  return get_or_none(capture.get(), zero.get());
}

// Gives a logger made outside this module back its level and propagation,
// and drops the capture record at 0.
int hand_back(PyObject* name, PyObject* logger, PyObject* record) noexcept {
  Ref level = Ref::borrow(PyDict_GetItemWithError(record, N.level));
  Ref propagate = Ref::borrow(PyDict_GetItemWithError(record, N.propagate));
  if (PyErr_Occurred()) return -1;
  if (level && !call_method(logger, N.setLevel, level.get())) return -1;
  if (propagate && setattr(logger, N.propagate, propagate.get()) < 0) return -1;
  Ref captures = global(N._CAPTURES);
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!captures || !zero) return -1;
  Ref per_name = Ref::steal(PyObject_GetItem(captures.get(), name));
  if (!per_name || !call_method(per_name.get(), N.pop, zero.get())) return -1;
  if (release_captured(name, zero.get()) < 0) return -1;
  int left = PyObject_IsTrue(per_name.get());
  if (left < 0) return -1;
  if (!left && !call_method(captures.get(), N.pop, name)) return -1;
  return 0;
}

Ref close_locked(PyObject* self, PyObject* name, PyObject* logger) noexcept {
  Ref loggers = global(N._LOGGERS);
  if (!loggers) return {};
  int stacked = PySequence_Contains(loggers.get(), name);
  if (stacked < 0) return {};
  Ref index = top_position(name, 9999);
  if (!index) return {};
  Ref below = shifted(index.get(), -1);
  if (!below) return {};
  // A name without a stack may be a logger made outside this module that
  // was taken over: its capture record at 0 is what this close undoes.
  Ref foreign = stacked ? none() : foreign_record(name);
  if (!foreign) return {};
  const bool from_outside = foreign.get() != Py_None && PyDict_Check(foreign.get());
  if (from_outside) below = Ref::steal(PyLong_FromLong(0));
  if (!below) return {};

  Ref ids = remaining_ids(name, below.get());
  if (!ids || sort_handlers(logger, ids.get()) < 0) return {};
  Ref records = recorded_handlers(name, below.get());
  Ref rebuilt = Ref::steal(PyDict_New());
  if (!records || !rebuilt || rebuild(logger, records.get(), ids.get(), rebuilt.get()) < 0)
    return {};
  if (!stacked) {
    // No stack for this name: only this object is switched off.
    if (from_outside && hand_back(name, logger, foreign.get()) < 0) return {};
    return call_method(self, N.disable) ? none() : Ref{};
  }
  if (pop_stack(name, logger, index.get(), below.get(), rebuilt.get()) < 0) return {};
  return none();
}

Ref close(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref name = getattr(self, N.name);
  Ref get_logger = logging_attr(N.getLogger);
  if (!name || !get_logger) return {};
  Ref logger = call(get_logger.get(), name.get());
  if (!logger) return {};

  Ref lock = global(N._LOCK);
  if (!lock) return {};
  With held;
  if (held.enter(lock.get()) < 0) return {};
  // The name is read again under the lock, as each registry step reads it.
  name = getattr(self, N.name);
  Ref result = name ? close_locked(self, name.get(), logger.get()) : Ref{};
  return held.exit(std::move(result));
}

const Param params[] = {{"self"}};

}  // namespace

const Signature close_sig = {
    .name = "close",
    .qualname = "_LogBase.close",
    .doc = "_LogBase.close(self) -> None",
    .params = params,
    .returns = "None",
    .impl = close,
};

}  // namespace lm
