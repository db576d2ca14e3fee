// TakeOver: a take-over of a logging logger by a logger object, and its roll-back.
#include <climits>
#include <utility>

#include "handlers/kinds.hpp"
#include "registry/hand_back.hpp"
#include "registry/records.hpp"
#include "registry/registries.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

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

}  // namespace

// The logger's handlers as the capture found them, with what the capture
// record and the held entry say of each, in the same order.
struct TakeOver::Captured {
  Ref handlers;  // a tuple
  Ref records;   // a list of handler records
  Ref ids;       // a list of id(handler)
  Ref detached;  // a list of bools: whether the capture detached the handler
  Ref entry;     // the held entry, once stored: it holds `handlers` too
};

int TakeOver::begin(PyObject* self, PyObject* name, PyObject* logger) noexcept {
  self_ = Ref::borrow(self);
  name_ = Ref::borrow(name);
  Ref loggers = registry_dict(N._LOGGERS);
  if (!loggers) return -1;
  Ref captures = registry_dict(N._CAPTURES);
  if (!captures) return -1;
  // Every handler is recorded before any is detached, so a handler that
  // cannot be recorded changes nothing.
  Captured captured;
  if (record_handlers(logger, captured) < 0) return -1;
  long top = 0;
  Ref below;
  if (find_top(loggers.get(), &top, below) < 0 || before_.take(logger) < 0) return -1;
  if (store_capture(captured, top) < 0) return -1;
  // From here on a failure is undone.
  if (put_at(captures.get(), N._CAPTURES, name, record_position_.get(), record_.get()) < 0 ||
      detach_replaced(logger, captured, below.get()) < 0 || disable_below(below) < 0 ||
      stack_self(loggers.get(), top) < 0 || setattr(logger, N.disabled, Py_False) < 0) {
    undo();
    return -1;
  }
  return 0;
}

// The logger's handlers now, each with its record and id, none detached yet.
int TakeOver::record_handlers(PyObject* logger, Captured& captured) noexcept {
  Ref current = getattr(logger, N.handlers);
  captured.handlers = current ? Ref::steal(PySequence_Tuple(current.get())) : Ref{};
  if (!captured.handlers) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(captured.handlers.get());
  captured.records = Ref::steal(PyList_New(n));
  if (!captured.records) return -1;
  captured.ids = Ref::steal(PyList_New(n));
  if (!captured.ids) return -1;
  captured.detached = Ref::steal(PyList_New(n));
  if (!captured.detached) return -1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* handler = PyTuple_GET_ITEM(captured.handlers.get(), i);
    Ref id = py_id(handler);
    Ref record = id ? handler_record(handler) : Ref{};
    if (!record) return -1;
    PyList_SET_ITEM(captured.ids.get(), i, id.release());
    PyList_SET_ITEM(captured.records.get(), i, record.release());
    PyList_SET_ITEM(captured.detached.get(), i, Py_NewRef(Py_False));
  }
  return 0;
}

// The top of the name's stack, where the capture record goes (0 when it has
// none), and the logger object there, which self will cover.
int TakeOver::find_top(PyObject* loggers, long* top, Ref& below) noexcept {
  Ref stack;
  if (stack_top(loggers, name_.get(), stack, top) < 0) return -1;
  if (*top == LONG_MAX) {
    PyErr_Format(PyExc_OverflowError, "the stack of %R is full", name_.get());
    return -1;
  }
  record_position_ = position(*top);
  if (!record_position_) return -1;
  if (*top == 0) return 0;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(stack.get(), record_position_.get(), &found) < 0) return -1;
  below = Ref::steal(found);
  if (!below) return 0;  // taken out meanwhile (the registry is public)
  return check_logger_object(below.get(), name_.get(), record_position_.get()) < 0 ? -1 : 0;
}

// Makes the capture record (with the logger's own state when the name had
// no stack) and stores its held entry; the record itself is stored by the
// caller.
int TakeOver::store_capture(Captured& captured, long top) noexcept {
  PyObject* logger_state = before_.state.get();
  Ref record = capture_record(captured.records.get(), captured.ids.get(),
                              top == 0 ? logger_state : nullptr);
  if (!record) return -1;
  Ref entry = make_held_entry(captured.handlers.get(), captured.detached.get(), logger_state);
  Ref key = entry ? held_entry_key(name_.get(), record_position_.get()) : Ref{};
  if (!key) return -1;
  if (PyDict_SetItem(state.captured, key.get(), entry.get()) < 0) return -1;
  captured.entry = std::move(entry);
  entry_key_ = std::move(key);
  record_ = std::move(record);
  return 0;
}

// Detaches each handler self replaces, noting it in captured.detached.
// Besides the logger's own list, the captured handlers are held by the
// capture (its tuple, also in the held entry), the snapshot and the object
// below, whose attributes hold those it made.
int TakeOver::detach_replaced(PyObject* logger, const Captured& captured,
                              PyObject* below) noexcept {
  KnownHolders known;
  known.add_logger(logger);
  known.add_private(captured.handlers.get(), 2);
  known.add_private(before_.handlers.get(), 1);
  known.add_object(below);
  SharedHandlers shared(logger, known);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(captured.handlers.get()); ++i) {
    PyObject* handler = PyTuple_GET_ITEM(captured.handlers.get(), i);
    int replace = replaces(self_.get(), handler);
    int detached = replace > 0 ? detach(logger, handler, shared) : replace;
    if (detached < 0) return -1;
    if (detached) PyList_SetItem(captured.detached.get(), i, Py_NewRef(Py_True));
  }
  return 0;
}

// below.disable(), noting what it wrote through so that undo() can enable
// it again.
int TakeOver::disable_below(Ref& below) noexcept {
  if (!below) return 0;
  below_logger_ = getattr(below.get(), N._logger);
  if (!below_logger_ || !call_method(below.get(), N.disable)) return -1;
  below_ = std::move(below);
  return 0;
}

// _LOGGERS[name][top + 1] = self.
int TakeOver::stack_self(PyObject* loggers, long top) noexcept {
  Ref self_position = position(top + 1);
  if (!self_position ||
      put_at(loggers, N._LOGGERS, name_.get(), self_position.get(), self_.get()) < 0)
    return -1;
  self_position_ = std::move(self_position);
  return 0;
}

// Runs only once begin() has stored the capture (its held entry and key):
// it makes nothing new to find what it takes away.
void TakeOver::undo() noexcept {
  Undoing undoing;
  Pending& pending = undoing.pending;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(state.captured, entry_key_.get(), &found) < 0) pending.keep();
  Ref entry = Ref::steal(found);
  put_logger_back(entry.get(), pending);
  unregister(pending);
  if (entry) drop_if_unchanged(state.captured, entry_key_.get(), entry.get(), pending);
  if (setattr(self_.get(), N._logger, Py_None) < 0) pending.keep();
  undoing.done(name_.get());
}

// What the construction attached goes, what the capture detached comes
// back (as the held entry, if any, says), the logger is as it was, and the
// object below writes again.
void TakeOver::put_logger_back(PyObject* held_entry, Pending& pending) noexcept {
  PyObject* logger = before_.logger.get();
  if (remove_handlers(logger, before_.handlers.get(), self_.get(), pending) < 0) pending.keep();
  if (held_entry && hand_back(logger, held_capture(held_entry), pending) < 0) pending.keep();
  restore_logger_state(logger, before_.state.get(), pending);
  if (below_ && !call_method(below_.get(), N.enable, below_logger_.get())) pending.keep();
}

// Takes self off the name's stack and the capture record out of
// _CAPTURES, each only if still there, with a dict this leaves empty.
void TakeOver::unregister(Pending& pending) noexcept {
  Ref loggers = registry_dict(N._LOGGERS);
  if (!loggers) return pending.keep();
  Ref captures = registry_dict(N._CAPTURES);
  if (!captures) return pending.keep();
  Ref stack;
  if (get_dict(loggers.get(), N._LOGGERS, name_.get(), stack) < 0) pending.keep();
  if (self_position_ && stack) {
    drop_if_unchanged(stack.get(), self_position_.get(), self_.get(), pending);
    drop_if_empty(loggers.get(), name_.get(), pending);
  }
  Ref per_name;
  if (get_dict(captures.get(), N._CAPTURES, name_.get(), per_name) < 0) {
    pending.keep();
  } else if (per_name) {
    drop_if_unchanged(per_name.get(), record_position_.get(), record_.get(), pending);
    drop_if_empty(captures.get(), name_.get(), pending);
  }
}

}  // namespace lm
