// A logger given back its handlers and its state: removal, closing unless shared, the hand-back.
#include "registry/hand_back.hpp"

#include <cstring>
#include <iterator>

#include "process/state.hpp"
#include "registry/stack.hpp"

namespace lm {

void restore_logger_state(PyObject* logger, PyObject* state, Pending& pending) noexcept {
  // The level through setLevel(), the others as attributes.
  if (!call_method(logger, N.setLevel, PyTuple_GET_ITEM(state, 0))) pending.keep();
  for (std::size_t i = 1; i < std::size(record_keys::kLoggerState); ++i)
    if (setattr(logger, N.*record_keys::kLoggerState[i], PyTuple_GET_ITEM(state, i)) < 0)
      pending.keep();
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
  Ref w = str("w");
  if (!w) return {};
  Ref x = str("x");
  if (!x) return {};
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
  int alone = known_.hold_all(handler);
  if (alone) return alone < 0 ? -1 : 0;
  if (!ids_) {
    Ref ids = Ref::steal(PySet_New(nullptr));
    if (!ids) return -1;
    Ref root = logging_attr(N.s_root);
    if (!root) return -1;
    Ref table = logging_logger_table();
    Ref others = table ? Ref::steal(PyMapping_Values(table.get())) : Ref{};
    if (!others || PyList_Append(others.get(), root.get()) < 0) return -1;
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

int remove_handlers(PyObject* logger, PyObject* keep, PyObject* owner, Pending& pending) noexcept {
  Ref walk = handlers_now(logger);
  if (!walk) return -1;
  KnownHolders known;
  known.add_private(walk.get(), 1);
  known.add_object(owner);
  SharedHandlers shared(logger, known);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
    PyObject* handler = PyList_GET_ITEM(walk.get(), i);
    if (keep && contains_identity(keep, handler)) continue;
    if (!call_method(logger, N.removeHandler, handler)) {
      pending.keep();
      continue;
    }
    if (close_unless_shared(handler, shared) < 0) pending.keep_unless_exception();
  }
  return 0;
}

namespace {

// Attaches the captured object again, under its own name (close() took the
// name out of logging's table of named handlers).
void reattach(PyObject* logger, PyObject* captured, Pending& pending) noexcept {
  Ref name = getattr(captured, N.name);
  if (!name || setattr(captured, N.name, name.get()) < 0) pending.keep_unless_exception();
  if (!call_method(logger, N.addHandler, captured)) pending.keep_unless_exception();
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
    PyList_SET_ITEM(list, i, PyList_GET_ITEM(wanted, i));
  Py_END_CRITICAL_SECTION();
  return 0;
}

}  // namespace

int hand_back(PyObject* logger, const HeldCapture& held, Pending& pending) noexcept {
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
  if (moved && put_in_order(logger, wanted.get()) < 0) pending.keep_unless_exception();
  return 0;
}

}  // namespace lm
