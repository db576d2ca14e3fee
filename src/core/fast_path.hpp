// Skipping the log call for a record that nobody could observe.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// 1 when logger.log(level, text, *args, **kwargs) would reach no handler
// able to take the record and have no other effect: at least one handler
// is reachable (so the last-resort handler is not involved), none has a
// level at or below the record's, the logger's class and instance leave
// logging's own methods in place, it has no filters and the record factory
// is the default one. 0 means "make the call" (any doubt gives 0); -1 is an
// error that must propagate.
int record_unobservable(PyObject* logger, PyObject* level, PyObject* args,
                        PyObject* kwargs) noexcept;

}  // namespace lm
