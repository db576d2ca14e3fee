// Inside the registry layer: reading and writing the entries of _LOGGERS and _CAPTURES.
#pragma once

#include "registry/pending.hpp"

namespace lm {

// registry[key] when it is there: 1 with `out` set to that dict, 0 when
// absent, -1 with TypeError when it is not a dict.
int get_dict(PyObject* reg, PyObject* reg_name, PyObject* key, Ref& out) noexcept;

// _LOGGERS[name] in `stack` (left empty when absent) and its highest
// position in `top` (0 when absent): 1 when the name has a stack, 0 when
// not, -1 on error.
int stack_top(PyObject* loggers, PyObject* name, Ref& stack, long* top) noexcept;

// A position in a stack, as the int key it is stored under.
Ref position(long p) noexcept;

// registry[key][pos] = value. A missing registry[key] is made holding the
// value before it is stored, so that a failure never leaves an empty dict.
int put_at(PyObject* reg, PyObject* reg_name, PyObject* key, PyObject* pos,
           PyObject* value) noexcept;

// Removes reg[key] if it is still `expected` (user code may have replaced
// it); what fails is kept in `pending`.
void drop_if_unchanged(PyObject* reg, PyObject* key, PyObject* expected,
                       Pending& pending) noexcept;

// Removes reg[key] if it is an empty dict; what fails is kept in `pending`.
void drop_if_empty(PyObject* reg, PyObject* key, Pending& pending) noexcept;

// 1 when obj is a logger object (an instance of _LogBase, read now); else
// -1 with a TypeError that says where it was found.
int check_logger_object(PyObject* obj, PyObject* name, PyObject* pos) noexcept;

// Ends a logger object that close() takes off: marks it closed (closed.cpp,
// see was_closed) and switches it off with its own disable(); what fails
// is kept in `pending`.
void end_object(PyObject* obj, Pending& pending) noexcept;

// The undo of a failed construction: the exception that made it necessary
// is set aside while it runs, what fails meanwhile is kept in `pending`,
// and done() reports that as unraisable for the logger `name` and raises
// the first exception again.
class Undoing {
 public:
  Undoing() noexcept : in_flight_(Ref::steal(PyErr_GetRaisedException())) {}
  Undoing(const Undoing&) = delete;
  Undoing& operator=(const Undoing&) = delete;
  void done(PyObject* name) noexcept;

  Pending pending;

 private:
  Ref in_flight_;
};

}  // namespace lm
