// What both verdicts check: the call's arguments, a logger and its class, logging's record factory.
#pragma once

#include "capi/ref.hpp"

namespace lm::hot {

// Gives `type` a version tag (any later change to it or its bases resets
// it); false when none is left. A type that has one is not touched: the
// interpreter assigns tags under a lock of its own, for which every log
// call of every thread would contend on a free-threaded build.
bool version_tagged(PyTypeObject* type) noexcept;

// Whether `type` leaves logging's methods on the path of Logger.log in
// place and reads the attributes the test uses the ordinary way; `logging`
// is the logging module. On success its version tag is assigned.
bool logger_type_untouched(PyTypeObject* type, PyObject* logging) noexcept;

// An attribute of the logger, read the ordinary way (its class defines
// none of the names read so, see logger_type_untouched, so this reads the
// instance's own value without making its __dict__). Empty with no
// exception set when the logger lacks it, empty with one set on an error.
inline Ref own_attr(PyObject* obj, PyObject* name) noexcept {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return {};
  return Ref::steal(value);
}

// Nothing on the instance shadows a method of the path, on a class that
// logger_type_untouched found fit: each name finds the class's function,
// bound to this logger. 1, 0 for doubt, -1.
int methods_not_shadowed(PyObject* logger) noexcept;

// Whether `key` (an exact str) names a method of Logger.log's path, which
// an instance attribute of that name would shadow.
bool names_path_method(PyObject* key) noexcept;

// Whether logging._logRecordFactory is logging.LogRecord with its own
// __init__ (1), not (0), or an error (-1).
int default_record_factory(PyObject* logging) noexcept;

// Whether args/kwargs make the record depend on more than the level: a
// non-empty kwargs, or one argument that LogRecord would test as a mapping.
bool arguments_inspected(PyObject* args, PyObject* kwargs) noexcept;

}  // namespace lm::hot
