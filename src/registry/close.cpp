// close_top: close() of a logger object, which ends the top of its name's stack.
#include "handlers/logger_level.hpp"
#include "registry/hand_back.hpp"
#include "registry/records.hpp"
#include "registry/registries.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

// What close finds in the registries for the name.
struct Closing {
  PyObject* name;
  PyObject* logger;
  Ref loggers, captures;
  Ref stack;      // _LOGGERS[name], if any
  long top = 0;   // its top position, 0 when it has none
  Ref per_name;   // _CAPTURES[name], if any
};

// The top of a stack and what the take-over that made it left below it.
struct Top {
  Ref position;         // top, where the departing object sits
  Ref object;           // the departing object, if there
  Ref record_position;  // top - 1: its capture record, and the object it covered
  Ref record;           // _CAPTURES[name][top - 1], if there
  Ref entry_key, entry;  // the record's held entry, if there
};

// Fills in `c`: 1 when the name has a stack, 0 when not, -1 on error.
int find_registries(Closing& c) noexcept {
  c.loggers = registry_dict(N._LOGGERS);
  if (!c.loggers) return -1;
  c.captures = registry_dict(N._CAPTURES);
  if (!c.captures) return -1;
  int has_stack = stack_top(c.loggers.get(), c.name, c.stack, &c.top);
  if (has_stack < 0) return -1;
  if (get_dict(c.captures.get(), N._CAPTURES, c.name, c.per_name) < 0) return -1;
  return has_stack;
}

// No stack: a child logger, or a name whose stack was closed. Every
// handler goes and only this object is ended (end_object); but a take-over
// always stacks, so an object that took the name over and finds no stack
// had its stack closed before, and the handlers there now were handed back
// or belong to others.
Ref close_unstacked(PyObject* self, const Closing& c, bool has_stack) noexcept {
  Pending pending;
  if (has_stack) drop_if_empty(c.loggers.get(), c.name, pending);
  int took_name_over = 0;
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(self, N.rehandler, &found) < 0) return {};
  Ref rehandler = Ref::steal(found);
  if (rehandler) {
    took_name_over = PyObject_IsTrue(rehandler.get());
    if (took_name_over < 0) return {};
  }
  if (!took_name_over) {
    if (remove_handlers(c.logger, nullptr, self, pending) < 0) return {};
    if (follow_handlers(c.logger) < 0) pending.keep();
  }
  end_object(self, pending);
  return pending.finish() < 0 ? Ref{} : none();
}

// The positions of the top and of its record, the object at the top, the
// record and its held entry.
int read_top(const Closing& c, Top& t) noexcept {
  t.position = position(c.top);
  if (!t.position) return -1;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(c.stack.get(), t.position.get(), &found) < 0) return -1;
  t.object = Ref::steal(found);
  t.record_position = position(c.top - 1);
  t.entry_key = t.record_position ? held_entry_key(c.name, t.record_position.get()) : Ref{};
  if (!t.entry_key) return -1;
  if (c.per_name) {
    if (PyDict_GetItemRef(c.per_name.get(), t.record_position.get(), &found) < 0) return -1;
    t.record = Ref::steal(found);
  }
  if (PyDict_GetItemRef(state.captured, t.entry_key.get(), &found) < 0) return -1;
  t.entry = Ref::steal(found);
  return 0;
}

// The registries: the top comes off, with the record it made and the held
// entry; `departing` is the object that was there.
int take_off_top(const Closing& c, const Top& t, Ref& departing, Pending& pending) noexcept {
  PyObject* found = nullptr;
  if (PyDict_Pop(c.stack.get(), t.position.get(), &found) < 0) return -1;
  departing = Ref::steal(found);
  drop_if_empty(c.loggers.get(), c.name, pending);
  if (t.record) {
    drop_if_unchanged(c.per_name.get(), t.record_position.get(), t.record.get(), pending);
    drop_if_empty(c.captures.get(), c.name, pending);
  }
  if (t.entry) drop_if_unchanged(state.captured, t.entry_key.get(), t.entry.get(), pending);
  return 0;
}

// The objects: the departing one is ended (end_object), the one below takes the
// logger back, and the logger's level follows the handlers now on it. The
// bottom of a stack with a held entry (a take-over of a name without a
// stack, or the configuring object of a placeholder's name) gives the
// logger back its level, propagate and disabled instead.
int switch_objects(const Closing& c, const Top& t, PyObject* departing,
                   Pending& pending) noexcept {
  if (departing) {
    if (check_logger_object(departing, c.name, t.position.get()) < 0)
      pending.keep();
    else
      end_object(departing, pending);
  }
  if (c.top > 1) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(c.stack.get(), t.record_position.get(), &found) < 0) return -1;
    Ref uncovered = Ref::steal(found);
    if (uncovered && (check_logger_object(uncovered.get(), c.name, t.record_position.get()) < 0 ||
                      !call_method(uncovered.get(), N.enable, c.logger)))
      pending.keep();
  } else if (t.entry) {
    restore_logger_state(c.logger, held_capture(t.entry.get()).logger_state, pending);
    return 0;
  }
  if (follow_handlers(c.logger) < 0) pending.keep();
  return 0;
}

// The top of a stack: its handlers go, the detached captured ones come
// back, then the registries and the objects follow.
Ref close_stacked(const Closing& c) noexcept {
  Top t;
  if (read_top(c, t) < 0) return {};
  Pending pending;
  const HeldCapture held = t.entry ? held_capture(t.entry.get()) : HeldCapture{};
  if (remove_handlers(c.logger, held.handlers, t.object.get(), pending) < 0) return {};
  if (t.entry && hand_back(c.logger, held, pending) < 0) return {};
  Ref departing;
  if (take_off_top(c, t, departing, pending) < 0 ||
      switch_objects(c, t, departing.get(), pending) < 0)
    return {};
  return pending.finish() < 0 ? Ref{} : none();
}

}  // namespace

Ref close_top(PyObject* self, PyObject* name, PyObject* logger) noexcept {
  Closing c{.name = name, .logger = logger};
  int has_stack = find_registries(c);
  if (has_stack < 0) return {};
  return c.top == 0 ? close_unstacked(self, c, has_stack) : close_stacked(c);
}

}  // namespace lm
