// Inside the registry layer: a logger given back its handlers and its state.
#pragma once

#include "registry/holders.hpp"
#include "registry/pending.hpp"
#include "registry/records.hpp"

namespace lm {

// The logger's level, propagate and disabled as `state` (a 3-tuple in the
// order of record_keys::kLoggerState) gives them; what fails is kept in
// `pending`.
void restore_logger_state(PyObject* logger, PyObject* state, Pending& pending) noexcept;

// Whether a handler is also attached to a logging logger other than the
// one being worked on (root, or any logger of logging's table): such a
// handler is only removed from this one, never closed. A handler whose
// every reference `known` accounts for is on no other logger; for any
// other, logging's table is read, once, when first asked.
class SharedHandlers {
 public:
  SharedHandlers(PyObject* logger, const KnownHolders& known) noexcept
      : logger_(logger), known_(known) {}
  // 1 when attached elsewhere, 0 when not, -1 on error.
  int contains(PyObject* handler) noexcept;

 private:
  PyObject* logger_;
  const KnownHolders& known_;
  Ref ids_;  // a set of id(handler)
};

// handler.close() unless another logger carries it; a closed file handler
// that would truncate or refuse its file when it reopens appends instead.
// 1 when closed, 0 when shared, -1 on error.
int close_unless_shared(PyObject* handler, SharedHandlers& shared) noexcept;

// Removes every handler of `logger` that is not in `keep` (a tuple, or NULL
// for none) and closes those no other logger carries; `owner` (NULL for
// none) is the logger object whose attributes hold the handlers it made.
// An Exception from close() is discarded; any other failure is kept in
// `pending` and the walk goes on.
int remove_handlers(PyObject* logger, PyObject* keep, PyObject* owner, Pending& pending) noexcept;

// Attaches again the very handler objects the capture detached and that
// are not attached now, each just after the handler captured before it
// (the place it held), under its own name. Never fails because of a
// handler; a non-Exception is kept in `pending`.
int hand_back(PyObject* logger, const HeldCapture& held, Pending& pending) noexcept;

}  // namespace lm
