// Inside the stack component: handler records, the held handlers, the hand-back.
#pragma once

#include "runtime/ref.hpp"

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

// {"id", "type", "level", "name", "filters", "formatter"[, "kwargs"
//  [, "namer", "rotator"]]} for one handler.
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

// Removes and closes every handler of `logger` that is not in `keep` (a
// tuple, or NULL for none). An Exception from close() is discarded; any
// other failure is kept in `pending` and the walk goes on.
int remove_handlers(PyObject* logger, PyObject* keep, Pending& pending) noexcept;

// Attaches again every handler the capture detached that is not attached
// now: rebuilt from its record in `record` (a capture record, or NULL) when
// it is of one of logging's own classes and the rebuild works, otherwise the
// captured object itself. `rebuilt` maps id(captured) -> attached handler.
// Never fails because of a handler; a non-Exception is kept in `pending`.
int hand_back(PyObject* logger, PyObject* record, const Held& held, PyObject* rebuilt,
              Pending& pending) noexcept;

// After a hand-back at `position`: the records below it hold the rebuilt
// handlers in place of the ones they replace (so that their own hand-back
// finds them), and the objects of the stack (a dict, or NULL) up to it have
// their _console_handler and _file_handler follow them.
int follow_rebuilt(PyObject* name, PyObject* stack, long position, PyObject* rebuilt) noexcept;

}  // namespace lm
