// The process-wide state of the module: its namespace, the objects it holds, and the globals read from it.
#pragma once

#include "capi/call.hpp"
#include "capi/names.hpp"

namespace lm {

struct State {
  PyObject* module = nullptr;     // the initialised module, once exec succeeded
  PyObject* ns = nullptr;         // its namespace dict (strong, for the process)
  PyObject* log_func = nullptr;   // _LogBase._log as defined, for the direct call
  // (name, position) -> the handlers a capture record describes. Records
  // match handlers by id(); holding them keeps those ids from being reused
  // by new handlers while the record exists.
  PyObject* captured = nullptr;
  // id(obj) -> a weak reference to obj, for each logger object close() took
  // off (registry/closed.cpp); the entry goes with the object.
  PyObject* closed = nullptr;
};

extern State state;

// A module global read at the moment of use.
inline Ref global(PyObject* name) noexcept { return lookup_global(state.ns, name); }

// logging.<attr>, both looked up now.
Ref logging_attr(PyObject* attr) noexcept;

// logging.Logger.manager.loggerDict, each step looked up now: the table of
// the loggers logging knows (and of the placeholders of loggers below them).
Ref logging_logger_table() noexcept;

// A registry (_LOGGERS, _CAPTURES, _FHANDLERS), read now: a TypeError
// unless it is a dict.
Ref registry_dict(PyObject* name) noexcept;

}  // namespace lm
