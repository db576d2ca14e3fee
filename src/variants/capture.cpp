// Handler records, the held handlers and the hand-back of detached handlers.
#include "variants/capture.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "handlers/kinds.hpp"
#include "module/state.hpp"

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

// 1 when handler is an instance of `cls` (looked up by the caller), 0 when
// not, -1 on error.
int instance_of(PyObject* handler, const Ref& cls) noexcept {
  if (!cls) return -1;
  return PyObject_IsInstance(handler, cls.get());
}

// The rebuild keywords for the handler's class, tested in order; an empty
// Ref with no exception set means the record gets no "kwargs".
Ref rebuild_kwargs(PyObject* handler) noexcept {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  for (const HandlerKind& k : kHandlerKinds) {
    int is = instance_of(handler, kind_class(k));
    if (is < 0) return {};
    if (!is) continue;
    for (PyObject* Names::*key : k.record_keys) {
      Ref value = getattr(handler, key == &Names::filename ? N.baseFilename : N.*key);
      if (!value || PyDict_SetItem(kwargs.get(), N.*key, value.get()) < 0) return {};
    }
    return kwargs;
  }
  Ref stream_class = logging_attr(N.StreamHandler);
  int is = instance_of(handler, stream_class);
  if (is < 0) return {};
  if (is) {
    // A plain StreamHandler is rebuilt on the stream it wrote to; the
    // constructors of subclasses may take other arguments, so theirs stay empty.
    if (Py_TYPE(handler) == reinterpret_cast<PyTypeObject*>(stream_class.get())) {
      Ref stream = getattr(handler, N.stream);
      if (!stream || PyDict_SetItem(kwargs.get(), N.stream, stream.get()) < 0) return {};
    }
    return kwargs;
  }
  return {};
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
  Ref kwargs = rebuild_kwargs(handler);
  if (!kwargs) {
    if (PyErr_Occurred()) return {};
    return record;
  }
  if (PyDict_SetItem(record.get(), N.kwargs, kwargs.get()) < 0) return {};

  // Rotating handlers keep their naming function and rotator, so that a
  // rebuilt handler rolls over under the same names.
  Ref handlers_module = logging_attr(N.handlers_module);
  if (!handlers_module) return {};
  int rotating = instance_of(handler, getattr(handlers_module.get(), N.BaseRotatingHandler));
  if (rotating < 0) return {};
  if (rotating) {
    for (PyObject* key : {N.namer, N.rotator}) {
      Ref value = getattr(handler, key);
      if (!value || PyDict_SetItem(record.get(), key, value.get()) < 0) return {};
    }
  }
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

}  // namespace

int remove_handlers(PyObject* logger, PyObject* keep, Pending& pending) noexcept {
  Ref walk = handlers_now(logger);
  if (!walk) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
    PyObject* handler = PyList_GET_ITEM(walk.get(), i);
    if (keep && contains_identity(keep, handler)) continue;
    if (!call_method(logger, N.removeHandler, handler)) {
      pending.absorb(false);
      continue;
    }
    if (!call_method(handler, N.close)) pending.absorb(true);
  }
  return 0;
}

namespace {

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

// Seconds in one unit of a timed handler's (upper-cased) `when`, or 0.
long unit_seconds(PyObject* when) noexcept {
  if (!PyUnicode_Check(when)) return 0;
  const char* w = PyUnicode_AsUTF8(when);
  if (!w) {
    PyErr_Clear();
    return 0;
  }
  if (!std::strcmp(w, "S")) return 1;
  if (!std::strcmp(w, "M")) return 60;
  if (!std::strcmp(w, "H")) return 3600;
  if (!std::strcmp(w, "D") || !std::strcmp(w, "MIDNIGHT")) return 86400;
  if (w[0] == 'W' && w[1] >= '0' && w[1] <= '6' && w[2] == '\0') return 604800;
  return 0;
}

// A timed handler keeps its interval in seconds; its constructor takes it
// in units of `when`. A whole number of units stays an int, anything else
// (1.5 hours) is divided exactly.
Ref interval_in_units(PyObject* seconds, long unit) noexcept {
  Ref divisor = Ref::steal(PyLong_FromLong(unit));
  if (!divisor) return {};
  if (PyLong_CheckExact(seconds)) {
    Ref rest = Ref::steal(PyNumber_Remainder(seconds, divisor.get()));
    if (!rest) return {};
    int whole = PyObject_Not(rest.get());
    if (whole < 0) return {};
    if (whole) return Ref::steal(PyNumber_FloorDivide(seconds, divisor.get()));
  }
  return Ref::steal(PyNumber_TrueDivide(seconds, divisor.get()));
}

// The keywords actually passed to the handler class; the record's own
// dict is left as it was.
Ref constructor_kwargs(bool timed, PyObject* recorded) noexcept {
  Ref kwargs = Ref::steal(PyDict_Copy(recorded));
  if (!kwargs) return {};
  if (timed) {
    if (PyDict_DelItem(kwargs.get(), N.mode) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
      PyErr_Clear();
    }
    Ref when, interval;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(kwargs.get(), N.when, &found) < 0) return {};
    when = Ref::steal(found);
    if (PyDict_GetItemRef(kwargs.get(), N.interval, &found) < 0) return {};
    interval = Ref::steal(found);
    long unit = when ? unit_seconds(when.get()) : 0;
    if (unit && interval && (PyLong_CheckExact(interval.get()) || PyFloat_CheckExact(interval.get()))) {
      Ref units = interval_in_units(interval.get(), unit);
      if (!units || PyDict_SetItem(kwargs.get(), N.interval, units.get()) < 0) return {};
    }
    return kwargs;
  }
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(kwargs.get(), N.mode, &found) < 0) return {};
  Ref mode = Ref::steal(found);
  if (mode) {
    Ref appending = append_mode(mode.get());
    if (!appending || PyDict_SetItem(kwargs.get(), N.mode, appending.get()) < 0) return {};
  }
  return kwargs;
}

// record[key] from a handler record, owned.
Ref entry(PyObject* record, PyObject* key) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(record, key, &found) < 0) return {};
  if (!found) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::steal(found);
}

// Whether `cls` is exactly one of logging's own four handler classes, whose
// records rebuild them (a timed handler gets its interval back in units).
enum class OwnClass : std::uint8_t { No, Plain, Timed, Error };

OwnClass own_class(PyObject* cls) noexcept {
  for (const HandlerKind& k : kHandlerKinds) {
    Ref kind_cls = kind_class(k);
    if (!kind_cls) return OwnClass::Error;
    if (cls == kind_cls.get()) return &k == &kTimedKind ? OwnClass::Timed : OwnClass::Plain;
  }
  Ref stream = logging_attr(N.StreamHandler);
  if (!stream) return OwnClass::Error;
  return cls == stream.get() ? OwnClass::Plain : OwnClass::No;
}

// A new handler equivalent to `captured`, made from its handler record, not
// yet attached. Empty with no exception set when the record cannot rebuild
// it faithfully: a class with a constructor of its own, or a record that
// does not describe this handler.
Ref rebuild(PyObject* record, PyObject* captured) noexcept {
  PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(captured));
  const OwnClass kind = own_class(cls);
  if (kind == OwnClass::No || kind == OwnClass::Error) return {};
  Ref recorded_type = entry(record, N.type);
  Ref recorded = entry(record, N.kwargs);
  if (!recorded_type || !recorded) return {};
  if (recorded_type.get() != cls || !PyDict_Check(recorded.get())) return {};
  Ref kwargs = constructor_kwargs(kind == OwnClass::Timed, recorded.get());
  if (!kwargs) return {};
  Ref handler = call_dict(cls, {}, kwargs.get());
  if (!handler) return {};

  // From here on a failure closes the half-made handler.
  auto configure = [&]() noexcept -> int {
    for (PyObject* key : {N.namer, N.rotator}) {
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(record, key, &found) < 0) return -1;
      Ref value = Ref::steal(found);
      if (value && setattr(handler.get(), key, value.get()) < 0) return -1;
    }
    Ref level = entry(record, N.level);
    if (!level || !call_method(handler.get(), N.setLevel, level.get())) return -1;
    Ref filters = entry(record, N.filters);
    if (!filters) return -1;
    Ref each = Ref::steal(PySequence_List(filters.get()));
    if (!each) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(each.get()); ++i)
      if (!call_method(handler.get(), N.addFilter, PyList_GET_ITEM(each.get(), i))) return -1;
    Ref formatter = entry(record, N.formatter);
    if (!formatter || !call_method(handler.get(), N.setFormatter, formatter.get())) return -1;
    Ref name = entry(record, N.name);
    if (!name) return -1;
    if (name.get() != Py_None && setattr(handler.get(), N.name, name.get()) < 0) return -1;
    return 0;
  };
  if (configure() < 0) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!call_method(handler.get(), N.close)) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    return {};
  }
  return handler;
}

// The handler record describing `captured` in the capture record's
// "handlers" list, or NULL.
Ref record_of(PyObject* capture, PyObject* captured) noexcept {
  if (!capture || !PyDict_Check(capture)) return {};
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(capture, N.handlers, &found) < 0) return {};
  Ref list = Ref::steal(found);
  if (!list || !PyList_Check(list.get())) return {};
  Ref items = Ref::steal(PySequence_Tuple(list.get()));
  Ref id = py_id(captured);
  if (!items || !id) return {};
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* record = PyTuple_GET_ITEM(items.get(), i);
    if (!PyDict_Check(record)) continue;
    if (PyDict_GetItemRef(record, N.id, &found) < 0) return {};
    Ref recorded_id = Ref::steal(found);
    if (recorded_id && PyLong_CheckExact(recorded_id.get()) &&
        PyObject_RichCompareBool(recorded_id.get(), id.get(), Py_EQ) == 1)
      return Ref::borrow(record);
  }
  return {};
}

// Attaches the captured object itself again, under its own name (close()
// took the name out of logging's table of named handlers).
void reattach(PyObject* logger, PyObject* captured, Pending& pending) noexcept {
  Ref name = getattr(captured, N.name);
  if (!name || setattr(captured, N.name, name.get()) < 0) pending.absorb(true);
  if (!call_method(logger, N.addHandler, captured)) pending.absorb(true);
}

}  // namespace

int hand_back(PyObject* logger, PyObject* record, const Held& held, PyObject* rebuilt,
              Pending& pending) noexcept {
  Ref attached = handlers_now(logger);
  if (!attached) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(held.handlers);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* captured = PyTuple_GET_ITEM(held.handlers, i);
    if (PyList_GET_ITEM(held.detached, i) != Py_True) continue;
    if (contains_identity(attached.get(), captured)) continue;  // attached again meanwhile

    Ref described = record_of(record, captured);
    if (!described && PyErr_Occurred()) pending.absorb(true);
    Ref handler = described ? rebuild(described.get(), captured) : Ref{};
    if (!handler && PyErr_Occurred()) pending.absorb(true);
    if (handler && !call_method(logger, N.addHandler, handler.get())) {
      pending.absorb(true);
      if (!call_method(handler.get(), N.close)) pending.absorb(true);
      handler.reset();
    }
    if (!handler) {
      reattach(logger, captured, pending);
      handler = Ref::borrow(captured);
    }
    Ref id = py_id(captured);
    if (!id || PyDict_SetItem(rebuilt, id.get(), handler.get()) < 0) return -1;
  }
  return 0;
}

namespace {

// The object's _console_handler and _file_handler follow their rebuilt
// handlers.
int repoint(PyObject* obj, PyObject* rebuilt) noexcept {
  for (PyObject* attr : {N._console_handler, N._file_handler}) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(obj, attr, &found) < 0) return -1;
    Ref handler = Ref::steal(found);
    if (!handler) continue;
    Ref id = py_id(handler.get());
    if (!id || PyDict_GetItemRef(rebuilt, id.get(), &found) < 0) return -1;
    Ref replacement = Ref::steal(found);
    if (replacement && replacement.get() != handler.get() &&
        setattr(obj, attr, replacement.get()) < 0)
      return -1;
  }
  return 0;
}

}  // namespace

int follow_rebuilt(PyObject* name, PyObject* stack, long position, PyObject* rebuilt) noexcept {
  if (PyDict_GET_SIZE(rebuilt) == 0) return 0;
  for (long p = 1; stack && p <= position; ++p) {
    Ref pos = Ref::steal(PyLong_FromLong(p));
    PyObject* found = nullptr;
    if (!pos || PyDict_GetItemRef(stack, pos.get(), &found) < 0) return -1;
    Ref obj = Ref::steal(found);
    if (obj && repoint(obj.get(), rebuilt) < 0) return -1;
  }
  for (long p = 0; p < position; ++p) {
    Ref pos = Ref::steal(PyLong_FromLong(p));
    Ref key = pos ? held_key(name, pos.get()) : Ref{};
    if (!key) return -1;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.captured, key.get(), &found) < 0) return -1;
    Ref entry = Ref::steal(found);
    if (!entry) continue;
    const Held held = held_view(entry.get());
    Ref handlers = Ref::steal(PySequence_List(held.handlers));
    if (!handlers) return -1;
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
      Ref id = py_id(PyList_GET_ITEM(handlers.get(), i));
      if (!id || PyDict_GetItemRef(rebuilt, id.get(), &found) < 0) return -1;
      Ref replacement = Ref::steal(found);
      if (!replacement || replacement.get() == PyList_GET_ITEM(handlers.get(), i)) continue;
      if (PyList_SetItem(handlers.get(), i, replacement.release()) < 0) return -1;
      changed = true;
    }
    if (!changed) continue;
    Ref as_tuple = Ref::steal(PyList_AsTuple(handlers.get()));
    Ref updated = as_tuple ? make_held(as_tuple.get(), held.detached, held.logger_state) : Ref{};
    if (!updated || PyDict_SetItem(state.captured, key.get(), updated.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace lm
