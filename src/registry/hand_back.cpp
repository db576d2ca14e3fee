// Handler records, the held handlers and the hand-back of detached handlers.
#include "registry/hand_back.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "handlers/kinds.hpp"
#include "process/state.hpp"

namespace lm {

void Pending::absorb(bool discard_exceptions) noexcept {
  if (discard_exceptions && PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return;
  }
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!first_) first_ = std::move(exc);
}

int Pending::finish() noexcept {
  if (!first_) return 0;
  PyErr_SetRaisedException(first_.release());
  return -1;
}

namespace {

// The keyword arguments of the handler's class, tested in order (the
// rotating classes before FileHandler, which they derive from): an empty
// dict for a stream handler, and an empty Ref with no exception set for any
// other class, whose record gets no "kwargs".
Ref record_kwargs(PyObject* handler) noexcept {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  for (const HandlerKind& k : kHandlerKinds) {
    Ref cls = kind_class(k);
    int is = cls ? PyObject_IsInstance(handler, cls.get()) : -1;
    if (is < 0) return {};
    if (!is) continue;
    for (PyObject* Names::*key : k.record_keys) {
      Ref value = getattr(handler, key == &Names::filename ? N.baseFilename : N.*key);
      if (!value || PyDict_SetItem(kwargs.get(), N.*key, value.get()) < 0) return {};
    }
    return kwargs;
  }
  Ref stream_class = logging_attr(N.StreamHandler);
  int is = stream_class ? PyObject_IsInstance(handler, stream_class.get()) : -1;
  if (is < 0) return {};
  return is ? std::move(kwargs) : Ref{};
}

}  // namespace

Ref handler_record(PyObject* handler) noexcept {
  Ref record = Ref::steal(PyDict_New());
  if (!record) return {};
  Ref id = py_id(handler);
  if (!id || PyDict_SetItem(record.get(), N.id, id.get()) < 0 ||
      PyDict_SetItem(record.get(), N.type, reinterpret_cast<PyObject*>(Py_TYPE(handler))) < 0)
    return {};
  for (PyObject* key : {N.level, N.name, N.filters, N.formatter}) {
    Ref value = getattr(handler, key);
    if (!value || PyDict_SetItem(record.get(), key, value.get()) < 0) return {};
  }
  Ref kwargs = record_kwargs(handler);
  if (!kwargs) return PyErr_Occurred() ? Ref{} : std::move(record);
  if (PyDict_SetItem(record.get(), N.kwargs, kwargs.get()) < 0) return {};
  return record;
}

Ref held_key(PyObject* name, PyObject* position) noexcept {
  return Ref::steal(PyTuple_Pack(2, name, position));
}

void restore_logger_state(PyObject* logger, PyObject* state, Pending& pending) noexcept {
  if (!call_method(logger, N.setLevel, PyTuple_GET_ITEM(state, 0))) pending.absorb(false);
  if (setattr(logger, N.propagate, PyTuple_GET_ITEM(state, 1)) < 0) pending.absorb(false);
  if (setattr(logger, N.disabled, PyTuple_GET_ITEM(state, 2)) < 0) pending.absorb(false);
}

Held held_view(PyObject* entry) noexcept {
  return {PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), PyTuple_GET_ITEM(entry, 2)};
}

Ref make_held(PyObject* handlers, PyObject* detached, PyObject* logger_state) noexcept {
  return Ref::steal(PyTuple_Pack(3, handlers, detached, logger_state));
}

namespace {

// Whether `obj` is one of the items of `seq` (a tuple or list), by identity.
bool contains_identity(PyObject* seq, PyObject* obj) noexcept {
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (items[i] == obj) return true;
  return false;
}

// The logger's handlers now, as a new list (a copy, so that the walks below
// are not disturbed by what they or the handlers change).
Ref handlers_now(PyObject* logger) noexcept {
  Ref current = getattr(logger, N.handlers);
  if (!current) return {};
  return Ref::steal(PySequence_List(current.get()));
}

// Adds the ids of the handlers `other` carries (a logging logger; a
// placeholder in logging's table carries none) to `ids`.
int add_handler_ids(PyObject* ids, PyObject* other) noexcept {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(other, N.handlers, &found) < 0) return -1;
  Ref handlers = Ref::steal(found);
  if (!handlers || !(PyList_Check(handlers.get()) || PyTuple_Check(handlers.get()))) return 0;
  Ref items = Ref::steal(PySequence_Tuple(handlers.get()));
  if (!items) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    Ref id = py_id(PyTuple_GET_ITEM(items.get(), i));
    if (!id || PySet_Add(ids, id.get()) < 0) return -1;
  }
  return 0;
}

// "w" -> "a", "w+" -> "a+", "xb" -> "ab": the same mode, appending.
Ref append_mode(PyObject* mode) noexcept {
  if (!PyUnicode_Check(mode)) return Ref::borrow(mode);
  const char* text = PyUnicode_AsUTF8(mode);
  if (!text) return {};
  if (!std::strpbrk(text, "wx")) return Ref::borrow(mode);
  Ref w = str("w"), x = str("x");
  if (!w || !x) return {};
  Ref out = Ref::steal(PyUnicode_Replace(mode, w.get(), N.s_a, -1));
  if (!out) return {};
  return Ref::steal(PyUnicode_Replace(out.get(), x.get(), N.s_a, -1));
}

// A closed file handler reopens its file at its next record, in its mode:
// one opened to truncate ("w", which FileHandler never reopens once closed)
// or to create ("x") appends from now on, so that it writes again and keeps
// what is in the file.
int reopen_appending(PyObject* handler) noexcept {
  Ref file_class = logging_attr(N.FileHandler);
  int is = file_class ? PyObject_IsInstance(handler, file_class.get()) : -1;
  if (is <= 0) return is;
  Ref mode = getattr(handler, N.mode);
  Ref appending = mode ? append_mode(mode.get()) : Ref{};
  if (!appending) return -1;
  return appending.get() == mode.get() ? 0 : setattr(handler, N.mode, appending.get());
}

}  // namespace

int SharedHandlers::contains(PyObject* handler) noexcept {
  if (!ids_) {
    Ref ids = Ref::steal(PySet_New(nullptr));
    Ref root = logging_attr(N.s_root);
    Ref logger_class = logging_attr(N.Logger);
    Ref manager = logger_class ? getattr(logger_class.get(), N.manager) : Ref{};
    Ref table = manager ? getattr(manager.get(), N.loggerDict) : Ref{};
    Ref others = table ? Ref::steal(PyMapping_Values(table.get())) : Ref{};
    if (!ids || !root || !others || PyList_Append(others.get(), root.get()) < 0) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(others.get()); ++i) {
      PyObject* other = PyList_GET_ITEM(others.get(), i);
      if (other != logger_ && add_handler_ids(ids.get(), other) < 0) return -1;
    }
    ids_ = std::move(ids);
  }
  Ref id = py_id(handler);
  return id ? PySet_Contains(ids_.get(), id.get()) : -1;
}

int close_unless_shared(PyObject* handler, SharedHandlers& shared) noexcept {
  int is_shared = shared.contains(handler);
  if (is_shared) return is_shared < 0 ? -1 : 0;
  if (!call_method(handler, N.close)) return -1;
  return reopen_appending(handler) < 0 ? -1 : 1;
}

int remove_handlers(PyObject* logger, PyObject* keep, Pending& pending) noexcept {
  Ref walk = handlers_now(logger);
  if (!walk) return -1;
  SharedHandlers shared(logger);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
    PyObject* handler = PyList_GET_ITEM(walk.get(), i);
    if (keep && contains_identity(keep, handler)) continue;
    if (!call_method(logger, N.removeHandler, handler)) {
      pending.absorb(false);
      continue;
    }
    if (close_unless_shared(handler, shared) < 0) pending.absorb(true);
  }
  return 0;
}

namespace {

// Attaches the captured object again, under its own name (close() took the
// name out of logging's table of named handlers).
void reattach(PyObject* logger, PyObject* captured, Pending& pending) noexcept {
  Ref name = getattr(captured, N.name);
  if (!name || setattr(captured, N.name, name.get()) < 0) pending.absorb(true);
  if (!call_method(logger, N.addHandler, captured)) pending.absorb(true);
}

// Where captured handler i goes back in `wanted`: just after the nearest
// handler captured before it that is there, or first.
Py_ssize_t place_of(PyObject* wanted, PyObject* captured, Py_ssize_t i) noexcept {
  for (Py_ssize_t j = i - 1; j >= 0; --j) {
    PyObject* before = PyTuple_GET_ITEM(captured, j);
    for (Py_ssize_t k = PyList_GET_SIZE(wanted) - 1; k >= 0; --k)
      if (PyList_GET_ITEM(wanted, k) == before) return k + 1;
  }
  return 0;
}

// How often `obj` is an item of the list `seq`, by identity.
Py_ssize_t count_identity(PyObject* seq, PyObject* obj) noexcept {
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) n += PyList_GET_ITEM(seq, i) == obj;
  return n;
}

// Puts the logger's handlers list in the order of `wanted`, in place and in
// one step, when it holds exactly the same handlers (so that nothing another
// thread attached or removed meanwhile is undone). The items only change
// places: no reference count changes, nothing is allocated, no code runs.
int put_in_order(PyObject* logger, PyObject* wanted) noexcept {
  Ref current = getattr(logger, N.handlers);
  if (!current) return -1;
  if (!PyList_CheckExact(current.get())) return 0;
  PyObject* list = current.get();
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t n = PyList_GET_SIZE(wanted);
  bool same = PyList_GET_SIZE(list) == n;
  for (Py_ssize_t i = 0; same && i < n; ++i) {
    PyObject* h = PyList_GET_ITEM(wanted, i);
    same = count_identity(list, h) == count_identity(wanted, h);
  }
  for (Py_ssize_t i = 0; same && i < n; ++i)
    reinterpret_cast<PyListObject*>(list)->ob_item[i] = PyList_GET_ITEM(wanted, i);
  Py_END_CRITICAL_SECTION();
  return 0;
}

}  // namespace

int hand_back(PyObject* logger, const Held& held, Pending& pending) noexcept {
  Ref wanted = handlers_now(logger);
  if (!wanted) return -1;
  bool moved = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(held.handlers); ++i) {
    PyObject* captured = PyTuple_GET_ITEM(held.handlers, i);
    if (PyList_GET_ITEM(held.detached, i) != Py_True) continue;
    if (contains_identity(wanted.get(), captured)) continue;  // attached again meanwhile
    Py_ssize_t place = place_of(wanted.get(), held.handlers, i);
    if (PyList_Insert(wanted.get(), place, captured) < 0) return -1;
    moved = moved || place != PyList_GET_SIZE(wanted.get()) - 1;
    reattach(logger, captured, pending);
  }
  if (moved && put_in_order(logger, wanted.get()) < 0) pending.absorb(true);
  return 0;
}

}  // namespace lm
