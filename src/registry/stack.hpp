// The stacks of logger objects and their capture records: the only code that
// writes _LOGGERS and _CAPTURES.
//
// Registry invariants, kept by every function of this folder (and checked, not
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
//  * A capture record is a dict with the keys of record_keys below: the
//    handler records (kHandlers) and id(handler) for each (kHandlerIds),
//    both in the order of the logger's handlers at the capture; at position
//    0 also kLoggerState, the logger's own values, in that order. A handler
//    record has the keys of kHandler, each read as its Source says.
//  * While a record exists, the module privately holds (the record's held
//    entry, in state.captured under (name, position)) the handlers it
//    describes, which of them the capture detached, and the logger's level,
//    propagate and disabled as they were. Records match handlers by id(), and
//    holding them keeps those ids from being reused; what was detached and
//    what the logger was is taken from the held copy, never from the public
//    record, so an edited record cannot make a handler be lost.
//  * One held entry has no record: the configuring object of a name that
//    logging held only as a placeholder holds, at position 0, no handler
//    and the logger as logging made it (level NOTSET, propagating), so that
//    the close of the bottom of the stack gives the logger back to logging
//    as it gives back a logger taken over while its name had no stack.
//
// The level of a logger that carries our handlers follows them
// (handlers/logger_level.hpp): the set-up sets it, and close sets it again
// from the handlers left on a logger it does not give back.
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
#include "registry/pending.hpp"

namespace lm {

// The keys of the records in _CAPTURES, written here once: the invariants
// above, the records' makers (records.hpp), LoggerSnapshot and
// restore_logger_state take them from here.
namespace record_keys {

// A capture record: the handler records, then the handlers' ids.
inline constexpr PyObject* Names::*kHandlers = &Names::handlers;
inline constexpr PyObject* Names::*kHandlerIds = &Names::handler_ids;
// Also in the record at position 0: the logger's own state, in the order
// of LoggerSnapshot::state (and of the logger's attributes of these names).
inline constexpr PyObject* Names::*kLoggerState[] = {&Names::level, &Names::propagate,
                                                    &Names::disabled};

// Where a handler record's value comes from.
enum class Source {
  kId,         // id(handler)
  kType,       // type(handler)
  kAttribute,  // the handler's attribute of the key's name
  kKindArgs,   // the keyword arguments of its kind (handlers/kinds.hpp): an
               // empty dict for a stream handler, no key for other classes
};
struct HandlerKey {
  PyObject* Names::*key;
  Source source;
};
// A handler record, in the order its values are read.
inline constexpr HandlerKey kHandler[] = {
    {&Names::id, Source::kId},
    {&Names::type, Source::kType},
    {&Names::level, Source::kAttribute},
    {&Names::name, Source::kAttribute},
    {&Names::filters, Source::kAttribute},
    {&Names::formatter, Source::kAttribute},
    {&Names::kwargs, Source::kKindArgs},
};

}  // namespace record_keys

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
  Ref state;     // the values of record_keys::kLoggerState, in order
  Ref handlers;  // a tuple
};

// A configuring construction by the factory (under the module lock, so one
// at a time): the set-up notes the logging logger as it found it and the
// file it added to _FHANDLERS, so that a registration that fails after the
// set-up puts both back.
class Configuring {
 public:
  // `placeholder`: logging held the name only as the placeholder of
  // loggers below it, and the set-up made its logger.
  Configuring(PyObject* name, bool placeholder) noexcept;
  ~Configuring();
  Configuring(const Configuring&) = delete;
  Configuring& operator=(const Configuring&) = delete;

  // From the set-up: the first snapshot of the logger of this name (the
  // first file it registered that _FHANDLERS did not hold is noted by
  // NewFile).
  static int note_logger(const LoggerSnapshot& before) noexcept;

  // register_configured(name, obj), for a placeholder's name with the held
  // entry at position 0 (below); when it fails, the set-up is undone: the
  // handlers it attached removed and closed, the logger's level, propagate
  // and disabled and the file's registration as they were.
  Ref register_object(PyObject* obj) noexcept;

 private:
  int hold_logger_as_made(Ref& key, Ref& entry) noexcept;

  Ref name_;
  bool placeholder_;
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
  struct Captured;  // the logger's handlers as the capture found them

  static int record_handlers(PyObject* logger, Captured& captured) noexcept;
  int find_top(PyObject* loggers, long* top, Ref& below) noexcept;
  int store_capture(Captured& captured, long top) noexcept;
  int detach_replaced(PyObject* logger, const Captured& captured, PyObject* below) noexcept;
  int disable_below(Ref& below) noexcept;
  int stack_self(PyObject* loggers, long top) noexcept;
  void put_logger_back(PyObject* held_entry, Pending& pending) noexcept;
  void unregister(Pending& pending) noexcept;

  Ref self_, name_;
  Ref record_position_, record_;  // where the capture record went, and the record
  Ref entry_key_;                 // the key of the record's held entry
  Ref below_, below_logger_;      // the object it disabled, and what it wrote through
  Ref self_position_;             // where self went on the stack, once it is there
  LoggerSnapshot before_;
};

// close(): ends the top of self.name's stack under the module lock.
Ref close_top(PyObject* self, PyObject* name, PyObject* logger) noexcept;

// Whether close() has ended the logger object `obj` (closed.cpp): 1 for an
// object close() took off, for the rest of its life; 0 for any other, -1.
int was_closed(PyObject* obj) noexcept;

}  // namespace lm
