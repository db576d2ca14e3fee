// Inside the registry layer: the capture records and the held entries kept beside them.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// The record of one handler: the keys of record_keys::kHandler (stack.hpp).
Ref handler_record(PyObject* handler) noexcept;

// A capture record: `records` and `ids` under record_keys::kHandlers and
// kHandlerIds, and with a `logger_state` (a 3-tuple, NULL for none) its
// values under record_keys::kLoggerState.
Ref capture_record(PyObject* records, PyObject* ids, PyObject* logger_state) noexcept;

// What the module holds while a capture record exists, as a view of its
// held entry: the captured handlers (a tuple), which of them the capture
// detached (a list of bools), and the logger's (level, propagate, disabled)
// before the take-over.
struct HeldCapture {
  PyObject* handlers;
  PyObject* detached;
  PyObject* logger_state;
};
// The key of the held entry of the record at (name, position) in state.captured.
Ref held_entry_key(PyObject* name, PyObject* position) noexcept;
// A held entry, and the view of one.
Ref make_held_entry(PyObject* handlers, PyObject* detached, PyObject* logger_state) noexcept;
HeldCapture held_capture(PyObject* entry) noexcept;

}  // namespace lm
