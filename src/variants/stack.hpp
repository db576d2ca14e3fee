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

#include "runtime/call.hpp"

namespace lm {


// The lock is a plain threading.Lock, looked up when entered. A thread that
// already holds it (code run by the factory or close that calls one of them
// again) gets a RuntimeError instead of waiting for itself for ever.
//
// Its release cannot fail: everything the release needs (the bound __exit__
// and a spare argument tuple, see With) is made before the lock is taken,
// and the release falls back on them when it has no memory for more, so an
// exception in flight, MemoryError included, always leaves the lock free.
//
// Across fork the lock is held: the forking thread takes it before the fork
// (after logging's at-fork hook was registered, so before logging's lock is
// taken: the module lock first, as everywhere), the parent releases it after
// the fork and the child starts with it free. When the forking thread holds
// it itself (a fork from code run inside VarnelLog or close), it is not
// taken again, and that thread goes on holding it in parent and child.
class ModuleLock {
 public:
  int enter() noexcept;
  // Leaves the lock and hands `result` (or the exception in flight) on.
  Ref exit(Ref result) noexcept;
  // Forgets the lock without leaving it (in the child of a fork).
  void abandon() noexcept;

 private:
  With with_;
  bool entered_ = false;
};

// The fork hooks: lock_for_fork before a fork, unlock_after_fork in the
// parent, and in the child lock_free_in_child, which says whether the lock
// must be re-created (false: the forking thread holds it and goes on).
int lock_for_fork() noexcept;
Ref unlock_after_fork() noexcept;
bool lock_free_in_child() noexcept;

// The factory's configuring path: _LOGGERS[name] = {1: obj}; returns
// _LOGGERS[name][1]. _LOGGERS is checked first by check_registries().
Ref register_configured(PyObject* name, PyObject* obj) noexcept;

// A registry (_LOGGERS, _CAPTURES, _FHANDLERS), read now: a TypeError
// unless it is a dict.
Ref registry_dict(PyObject* name) noexcept;

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

  // From the set-up: the first snapshot of the logger of this name, and the
  // first file it registered that _FHANDLERS did not hold.
  static int note_logger(const LoggerSnapshot& before) noexcept;
  static void note_file(PyObject* registry, PyObject* path, PyObject* kind) noexcept;

  // register_configured(name, obj); when it fails, the set-up is undone:
  // the handlers it attached removed and closed, the logger's level,
  // propagate and disabled and the file's registration as they were.
  Ref register_object(PyObject* obj) noexcept;

 private:
  Ref name_;
  LoggerSnapshot before_;
  Ref files_, path_, kind_;
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
