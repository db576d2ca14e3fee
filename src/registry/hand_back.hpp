// Inside the stack component: handler records, the held handlers, the hand-back.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// The first exception that must not be lost while a walk goes on: an
// ordinary Exception is discarded where the walk says so, anything else
// (KeyboardInterrupt, SystemExit) is kept and raised once the work is done.
class Pending {
 public:
  // Takes the exception in flight: discarded when it is an Exception and
  // `discard_exceptions` is set, otherwise kept if it is the first.
  void absorb(bool discard_exceptions) noexcept;
  // -1 with the kept exception raised, or 0.
  int finish() noexcept;

 private:
  Ref first_;
};

// {"id", "type", "level", "name", "filters", "formatter"[, "kwargs"]} for
// one handler.
Ref handler_record(PyObject* handler) noexcept;

// What the module holds while a capture record exists: the captured
// handlers (a tuple), which of them the capture detached (a list of bools),
// and the logger's (level, propagate, disabled) before the take-over.
struct Held {
  PyObject* handlers;
  PyObject* detached;
  PyObject* logger_state;
};
// The key of the held entry of the record at (name, position).
Ref held_key(PyObject* name, PyObject* position) noexcept;

// The logger's level, propagate and disabled as `state` (a 3-tuple) gives
// them; what fails is kept in `pending`.
void restore_logger_state(PyObject* logger, PyObject* state, Pending& pending) noexcept;

// Reads a held entry (owned by `entry`, a tuple made by make_held).
Held held_view(PyObject* entry) noexcept;
Ref make_held(PyObject* handlers, PyObject* detached, PyObject* logger_state) noexcept;

// Whether a handler is also attached to a logging logger other than the
// one being worked on (root, or any logger of logging's table): such a
// handler is only removed from this one, never closed. Read once, when
// first asked.
class SharedHandlers {
 public:
  explicit SharedHandlers(PyObject* logger) noexcept : logger_(logger) {}
  // 1 when attached elsewhere, 0 when not, -1 on error.
  int contains(PyObject* handler) noexcept;

 private:
  PyObject* logger_;
  Ref ids_;  // a set of id(handler)
};

// handler.close() unless another logger carries it; a closed file handler
// that would truncate or refuse its file when it reopens appends instead.
// 1 when closed, 0 when shared, -1 on error.
int close_unless_shared(PyObject* handler, SharedHandlers& shared) noexcept;

// Removes every handler of `logger` that is not in `keep` (a tuple, or NULL
// for none) and closes those no other logger carries. An Exception from
// close() is discarded; any other failure is kept in `pending` and the walk
// goes on.
int remove_handlers(PyObject* logger, PyObject* keep, Pending& pending) noexcept;

// Attaches again the very handler objects the capture detached and that
// are not attached now, each just after the handler captured before it
// (the place it held), under its own name. Never fails because of a
// handler; a non-Exception is kept in `pending`.
int hand_back(PyObject* logger, const Held& held, Pending& pending) noexcept;

}  // namespace lm
