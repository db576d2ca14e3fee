// The stacks of logger objects and their capture records: the only code that
// writes _LOGGERS and _CAPTURES.
//
// Registry invariants, kept by every function below (and checked, not
// trusted, when read back: the registries are public and writable):
//
//  * _LOGGERS[name] is a non-empty dict {1: obj1, ..., k: objk}: positions
//    are the ints 1..k with no gap. Only the top object, at k, writes; the
//    ones below it are disabled. The factory's configuring path replaces the
//    whole dict with {1: obj}; a take-over adds one position on top; close
//    removes the top.
//  * _CAPTURES[name] is a non-empty dict {position: capture record}. A
//    record at p was made by the take-over that sits at p + 1 in
//    _LOGGERS[name]; every take-over makes exactly one. Position 0 holds the
//    record of a take-over of a name that had no stack (a logger made
//    outside this module, root, or a name whose stack was closed).
//  * A capture record is {"handlers": [handler record, ...], "handler_ids":
//    [id(handler), ...]}, both in the order of the logger's handlers at the
//    capture; at position 0 it also has "level", "propagate" and "disabled",
//    the logger's own values, in that order. A handler record is {"id",
//    "type", "level", "name", "filters", "formatter"[, "kwargs"]}.
//  * While a record exists, the module privately holds the handlers it
//    describes, which of them the capture detached, and the logger's level,
//    propagate and disabled as they were. Records match handlers by id(), and
//    holding them keeps those ids from being reused; what was detached and
//    what the logger was is taken from the held copy, never from the public
//    record, so an edited record cannot make a handler be lost.
//
// A take-over closes what it detaches (so that a file it also writes is not
// held open twice), except a handler another logger still carries, which is
// only removed. The hand-back (close, or the roll-back of a failed
// construction) attaches again the very objects the capture detached and
// that are not attached again, each in the place it held; a closed file
// handler reopens its file when it next writes, appending.
#pragma once

#include "process/new_file.hpp"
#include "process/state.hpp"

namespace lm {

// The factory's configuring path: _LOGGERS[name] = {1: obj}; returns
// _LOGGERS[name][1]. _LOGGERS is checked first by check_registries().
Ref register_configured(PyObject* name, PyObject* obj) noexcept;

// TypeError unless _LOGGERS and _CAPTURES are dicts.
int check_registries() noexcept;

// The level, propagate, disabled and handlers of a logging logger, so that
// a construction that fails can put them back.
class LoggerSnapshot {
 public:
  int take(PyObject* logger) noexcept;
  // Removes and closes the handlers attached since take(), then restores
  // the level, propagate and disabled. Keeps the exception in flight.
  void restore() noexcept;

  Ref logger;
  Ref state;     // (level, propagate, disabled)
  Ref handlers;  // a tuple
};

// A configuring construction by the factory (under the module lock, so one
// at a time): the set-up notes the logging logger as it found it and the
// file it added to _FHANDLERS, so that a registration that fails after the
// set-up puts both back.
class Configuring {
 public:
  explicit Configuring(PyObject* name) noexcept;
  ~Configuring();
  Configuring(const Configuring&) = delete;
  Configuring& operator=(const Configuring&) = delete;

  // From the set-up: the first snapshot of the logger of this name (the
  // first file it registered that _FHANDLERS did not hold is noted by
  // NewFile).
  static int note_logger(const LoggerSnapshot& before) noexcept;

  // register_configured(name, obj); when it fails, the set-up is undone:
  // the handlers it attached removed and closed, the logger's level,
  // propagate and disabled and the file's registration as they were.
  Ref register_object(PyObject* obj) noexcept;

 private:
  Ref name_;
  LoggerSnapshot before_;
  NewFile file_;
  Configuring* outer_;
};

// A take-over of the logging logger of `name` by the object `self`.
class TakeOver {
 public:
  // Records every handler, makes the capture record on top of the name's
  // stack, detaches the handlers self replaces, disables the object below,
  // stacks self, and enables the logger (disabled = False). On failure
  // everything it did is undone.
  int begin(PyObject* self, PyObject* name, PyObject* logger) noexcept;
  // Undoes begin() and whatever set-up ran after it; keeps the exception
  // in flight.
  void undo() noexcept;

 private:
  Ref self_, name_, position_, record_;
  Ref below_, below_logger_;  // the object it disabled, and what it wrote through
  LoggerSnapshot before_;
  bool stacked_ = false;
};

// close(): ends the top of self.name's stack under the module lock.
Ref close_top(PyObject* self, PyObject* name, PyObject* logger) noexcept;

}  // namespace lm
