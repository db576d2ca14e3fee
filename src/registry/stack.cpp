// The stacks of logger objects: take-over, its roll-back, close, registration.

#include <climits>

#include "handlers/kinds.hpp"
#include "registry/hand_back.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

// registry[key] when it is there: 1 with `out` set to that dict, 0 when
// absent, -1 with TypeError when it is not a dict.
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

// The highest position of a name's stack, 0 for an empty one. The stack is
// read whole (other threads may write it: the registries are public); a
// key that is no position is reported once the section is left, since its
// repr may run Python code.
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

Ref position(long p) noexcept { return Ref::steal(PyLong_FromLong(p)); }

// Removes reg[key] if it is still `expected` (user code may have replaced it).
void drop_if(PyObject* reg, PyObject* key, PyObject* expected, Pending& pending) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(reg, key, &found) < 0) return pending.absorb(false);
  Ref current = Ref::steal(found);
  if (current.get() == expected && PyDict_DelItem(reg, key) < 0) pending.absorb(false);
}

// Removes reg[key] if it is an empty dict.
void drop_if_empty(PyObject* reg, PyObject* key, Pending& pending) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(reg, key, &found) < 0) return pending.absorb(false);
  Ref current = Ref::steal(found);
  if (current && PyDict_Check(current.get()) && PyDict_GET_SIZE(current.get()) == 0 &&
      PyDict_DelItem(reg, key) < 0)
    pending.absorb(false);
}

// registry[key][pos] = value. A missing registry[key] is made holding the
// value before it is stored, so that a failure never leaves an empty dict.
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

// Whether the capture replaces this handler: a file handler when the object
// has a file and takes the name over, or any stream handler (file handlers
// included) when it has a console. Attributes are read only while the
// answer is still open.
int replaces(PyObject* self, PyObject* handler) noexcept {
  int is_file = 0;
  for (const HandlerKind& kind : kHandlerKinds) {
    Ref cls = kind_class(kind);
    if (!cls) return -1;
    int r = PyObject_IsInstance(handler, cls.get());
    if (r < 0) return -1;
    if (r) {
      is_file = 1;
      break;
    }
  }
  if (is_file) {
    int has_file = attr_truth(self, N.file);
    if (has_file < 0) return -1;
    if (has_file) {
      int takes_over = attr_truth(self, N.rehandler);
      if (takes_over != 0) return takes_over;
    }
  }
  Ref stream_class = logging_attr(N.StreamHandler);
  if (!stream_class) return -1;
  int is_stream = PyObject_IsInstance(handler, stream_class.get());
  if (is_stream <= 0) return is_stream;
  return attr_truth(self, N.console);
}

// handler.close() (unless another logger carries it), then
// logger.removeHandler(handler): 1 when detached, 0 when an Exception
// stopped it (discarded; after a failed close() the handler stays
// attached), -1 for anything else.
int detach(PyObject* logger, PyObject* handler, SharedHandlers& shared) noexcept {
  if (close_unless_shared(handler, shared) >= 0 &&
      call_method(logger, N.removeHandler, handler))
    return 1;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  PyErr_Clear();
  return 0;
}

// Reports what went wrong while undoing, keeping the exception that made
// the undo necessary.
void report(Pending& pending, PyObject* name) noexcept {
  if (pending.finish() < 0)
    PyErr_FormatUnraisable("Exception ignored while undoing a failed construction of logger %R",
                           name);
}

// 1 when obj is a logger object (an instance of _LogBase, read now); else
// -1 with a TypeError that says where it was found.
int check_logger_object(PyObject* obj, PyObject* name, PyObject* pos) noexcept {
  Ref base = global(N._LogBase);
  if (!base) return -1;
  int is = PyObject_IsInstance(obj, base.get());
  if (is == 0)
    PyErr_Format(PyExc_TypeError, "_LOGGERS[%R][%R] is not a logger object: %R", name, pos,
                 obj);
  return is > 0 ? 1 : -1;
}

}  // namespace

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
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Pending pending;
    drop_if(loggers.get(), name, stack.get(), pending);
    report(pending, name);
    PyErr_SetRaisedException(exc.release());
  }
  return Ref::steal(found);
}

int LoggerSnapshot::take(PyObject* of) noexcept {
  logger = Ref::borrow(of);
  Ref level = getattr(of, N.level);
  Ref propagate = level ? getattr(of, N.propagate) : Ref{};
  Ref disabled = propagate ? getattr(of, N.disabled) : Ref{};
  state = disabled ? Ref::steal(PyTuple_Pack(3, level.get(), propagate.get(), disabled.get()))
                   : Ref{};
  Ref current = state ? getattr(of, N.handlers) : Ref{};
  handlers = current ? Ref::steal(PySequence_Tuple(current.get())) : Ref{};
  return handlers ? 0 : -1;
}

void LoggerSnapshot::restore() noexcept {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Pending pending;
  if (handlers) {
    if (remove_handlers(logger.get(), handlers.get(), pending) < 0) pending.absorb(false);
    restore_logger_state(logger.get(), state.get(), pending);
  }
  Ref name = getattr(logger.get(), N.name);
  if (!name) pending.absorb(false);
  report(pending, name ? name.get() : Py_None);
  PyErr_SetRaisedException(exc.release());
}

int TakeOver::begin(PyObject* self, PyObject* name, PyObject* logger) noexcept {
  self_ = Ref::borrow(self);
  name_ = Ref::borrow(name);
  Ref loggers = registry_dict(N._LOGGERS);
  Ref captures = registry_dict(N._CAPTURES);
  if (!loggers || !captures) return -1;

  // Every handler is recorded before any is detached, so a handler that
  // cannot be recorded changes nothing.
  Ref current = getattr(logger, N.handlers);
  Ref walk = current ? Ref::steal(PySequence_Tuple(current.get())) : Ref{};
  if (!walk) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(walk.get());
  Ref records = Ref::steal(PyList_New(n));
  Ref ids = Ref::steal(PyList_New(n));
  Ref detached = Ref::steal(PyList_New(n));
  if (!records || !ids || !detached) return -1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* handler = PyTuple_GET_ITEM(walk.get(), i);
    Ref id = py_id(handler);
    Ref record = id ? handler_record(handler) : Ref{};
    if (!record) return -1;
    PyList_SET_ITEM(ids.get(), i, id.release());
    PyList_SET_ITEM(records.get(), i, record.release());
    PyList_SET_ITEM(detached.get(), i, Py_NewRef(Py_False));
  }

  // The record goes on top of the name's stack: 0 when it has none.
  Ref stack;
  int stacked = get_dict(loggers.get(), N._LOGGERS, name, stack);
  if (stacked < 0) return -1;
  long top = 0;
  if (stacked && top_of(stack.get(), name, &top) < 0) return -1;
  if (top == LONG_MAX) {
    PyErr_Format(PyExc_OverflowError, "the stack of %R is full", name);
    return -1;
  }
  position_ = position(top);
  if (!position_) return -1;
  Ref below;
  if (top > 0) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(stack.get(), position_.get(), &found) < 0) return -1;
    below = Ref::steal(found);
    if (check_logger_object(below.get(), name, position_.get()) < 0) return -1;
  }
  if (before_.take(logger) < 0) return -1;

  Ref record = Ref::steal(PyDict_New());
  if (!record || PyDict_SetItem(record.get(), N.handlers, records.get()) < 0 ||
      PyDict_SetItem(record.get(), N.handler_ids, ids.get()) < 0)
    return -1;
  if (top == 0) {  // the logger's own state, in the order of before_.state
    PyObject* keys[] = {N.level, N.propagate, N.disabled};
    for (int i = 0; i < 3; ++i)
      if (PyDict_SetItem(record.get(), keys[i], PyTuple_GET_ITEM(before_.state.get(), i)) < 0)
        return -1;
  }
  Ref held = make_held(walk.get(), detached.get(), before_.state.get());
  Ref key = held ? held_key(name, position_.get()) : Ref{};
  if (!key) return -1;
  if (PyDict_SetItem(state.captured, key.get(), held.get()) < 0) return -1;
  record_ = std::move(record);
  if (put_at(captures.get(), N._CAPTURES, name, position_.get(), record_.get()) < 0) {
    undo();
    return -1;
  }

  // From here on a failure is undone.
  SharedHandlers shared(logger);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* handler = PyTuple_GET_ITEM(walk.get(), i);
    int replaced = replaces(self, handler);
    int done = replaced > 0 ? detach(logger, handler, shared) : replaced;
    if (done < 0) {
      undo();
      return -1;
    }
    if (done) PyList_SetItem(detached.get(), i, Py_NewRef(Py_True));
  }
  if (below) {
    below_logger_ = getattr(below.get(), N._logger);
    if (!below_logger_ || !call_method(below.get(), N.disable)) {
      undo();
      return -1;
    }
    below_ = std::move(below);
  }
  Ref next = position(top + 1);
  if (!next || put_at(loggers.get(), N._LOGGERS, name, next.get(), self) < 0) {
    undo();
    return -1;
  }
  stacked_ = true;
  if (setattr(logger, N.disabled, Py_False) < 0) {
    undo();
    return -1;
  }
  return 0;
}

void TakeOver::undo() noexcept {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Pending pending;
  Ref key = position_ ? held_key(name_.get(), position_.get()) : Ref{};
  Ref held;
  if (key) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.captured, key.get(), &found) < 0) pending.absorb(false);
    held = Ref::steal(found);
  }
  PyObject* logger = before_.logger.get();
  if (before_.handlers) {
    // What the construction attached goes, what the capture detached comes
    // back, and the logger is as it was.
    if (remove_handlers(logger, before_.handlers.get(), pending) < 0) pending.absorb(false);
    if (held && hand_back(logger, held_view(held.get()), pending) < 0) pending.absorb(false);
    restore_logger_state(logger, before_.state.get(), pending);
  }
  if (below_ && !call_method(below_.get(), N.enable, below_logger_.get())) pending.absorb(false);
  Ref loggers = registry_dict(N._LOGGERS);
  Ref captures = registry_dict(N._CAPTURES);
  if (!loggers || !captures) {
    pending.absorb(false);
  } else {
    Ref stack;
    if (position_ && get_dict(loggers.get(), N._LOGGERS, name_.get(), stack) < 0) pending.absorb(false);
    if (stacked_ && stack) {
      Ref next = position(PyLong_AsLong(position_.get()) + 1);
      if (!next) {
        pending.absorb(false);
      } else {
        drop_if(stack.get(), next.get(), self_.get(), pending);
        drop_if_empty(loggers.get(), name_.get(), pending);
      }
    }
    if (record_) {
      Ref per_name;
      if (get_dict(captures.get(), N._CAPTURES, name_.get(), per_name) < 0) {
        pending.absorb(false);
      } else if (per_name) {
        drop_if(per_name.get(), position_.get(), record_.get(), pending);
        drop_if_empty(captures.get(), name_.get(), pending);
      }
    }
  }
  if (held) drop_if(state.captured, key.get(), held.get(), pending);
  if (self_ && setattr(self_.get(), N._logger, Py_None) < 0) pending.absorb(false);
  report(pending, name_ ? name_.get() : Py_None);
  PyErr_SetRaisedException(exc.release());
}

Ref close_top(PyObject* self, PyObject* name, PyObject* logger) noexcept {
  Ref loggers = registry_dict(N._LOGGERS);
  Ref captures = registry_dict(N._CAPTURES);
  if (!loggers || !captures) return {};
  Ref stack;
  int stacked = get_dict(loggers.get(), N._LOGGERS, name, stack);
  if (stacked < 0) return {};
  long top = 0;
  if (stacked && top_of(stack.get(), name, &top) < 0) return {};
  Ref per_name;
  if (get_dict(captures.get(), N._CAPTURES, name, per_name) < 0) return {};

  Pending pending;
  if (top == 0) {
    // No stack: a child logger, or a name whose stack was closed. Every
    // handler goes and only this object is switched off; but a take-over
    // always stacks, so one without a stack was closed before, and the
    // handlers there now were handed back or belong to others.
    if (stacked) drop_if_empty(loggers.get(), name, pending);
    int closed_before = 0;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(self, N.rehandler, &found) < 0) return {};
    Ref flag = Ref::steal(found);
    if (flag) {
      closed_before = PyObject_IsTrue(flag.get());
      if (closed_before < 0) return {};
    }
    if (!closed_before && remove_handlers(logger, nullptr, pending) < 0) return {};
    if (!call_method(self, N.disable)) pending.absorb(false);
    return pending.finish() < 0 ? Ref{} : none();
  }

  Ref top_key = position(top), below = position(top - 1);
  Ref key = below ? held_key(name, below.get()) : Ref{};
  if (!top_key || !key) return {};
  PyObject* found = nullptr;
  Ref record;
  if (per_name) {
    if (PyDict_GetItemRef(per_name.get(), below.get(), &found) < 0) return {};
    record = Ref::steal(found);
  }
  if (PyDict_GetItemRef(state.captured, key.get(), &found) < 0) return {};
  Ref held = Ref::steal(found);

  // The handlers: the departing ones go, the detached captured ones come back.
  const Held view = held ? held_view(held.get()) : Held{};
  if (remove_handlers(logger, held ? view.handlers : nullptr, pending) < 0) return {};
  if (held && hand_back(logger, view, pending) < 0) return {};

  // The registries: the top comes off, with the record it made.
  if (PyDict_Pop(stack.get(), top_key.get(), &found) < 0) return {};
  Ref departing = Ref::steal(found);
  drop_if_empty(loggers.get(), name, pending);
  if (record) {
    drop_if(per_name.get(), below.get(), record.get(), pending);
    drop_if_empty(captures.get(), name, pending);
  }
  if (held) drop_if(state.captured, key.get(), held.get(), pending);

  // The objects: the departing one is switched off, the one below takes
  // the logger back; a take-over of a name without a stack gives the
  // logger back its level, propagate and disabled.
  if (departing && (check_logger_object(departing.get(), name, top_key.get()) < 0 ||
                    !call_method(departing.get(), N.disable)))
    pending.absorb(false);
  if (top > 1) {
    if (PyDict_GetItemRef(stack.get(), below.get(), &found) < 0) return {};
    Ref next = Ref::steal(found);
    if (next && (check_logger_object(next.get(), name, below.get()) < 0 ||
                 !call_method(next.get(), N.enable, logger)))
      pending.absorb(false);
  } else if (held) {
    restore_logger_state(logger, view.logger_state, pending);
  }
  return pending.finish() < 0 ? Ref{} : none();
}

namespace {

Configuring* configuring = nullptr;  // the one under way, if any

}  // namespace

Configuring::Configuring(PyObject* name) noexcept : name_(Ref::borrow(name)), outer_(configuring) {
  configuring = this;
}

Configuring::~Configuring() { configuring = outer_; }

int Configuring::note_logger(const LoggerSnapshot& before) noexcept {
  if (!configuring || configuring->before_.logger) return 0;
  // Only the logger of the name being configured: a set-up that user code
  // runs meanwhile for another name is not this construction's.
  Ref name = getattr(before.logger.get(), N.name);
  int same = name ? PyObject_RichCompareBool(name.get(), configuring->name_.get(), Py_EQ) : -1;
  if (same <= 0) return same;
  LoggerSnapshot& mine = configuring->before_;
  mine.logger = before.logger.copy();
  mine.state = before.state.copy();
  mine.handlers = before.handlers.copy();
  return 0;
}

Ref Configuring::register_object(PyObject* obj) noexcept {
  Ref registered = register_configured(name_.get(), obj);
  if (registered) return registered;
  if (file_.registry) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Pending pending;
    drop_if(file_.registry.get(), file_.path.get(), file_.kind.get(), pending);
    report(pending, name_.get());
    PyErr_SetRaisedException(exc.release());
  }
  if (before_.logger) before_.restore();
  return {};
}

}  // namespace lm
