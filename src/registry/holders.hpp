// Inside the registry layer: the references to a handler that the module can account for.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Whether a handler is carried by another logger (SharedHandlers) can be
// told without walking logging's table when every reference to it is
// accounted for.
//
// A logger carries a handler when its `handlers` (a list or tuple, as
// logging and the walk read it) has the handler among its items, and each
// such item is a reference to the handler. So when the handler's reference
// count equals the references found in places that are not another
// logger's handlers, no other logger carries it. Those places:
//
//  * a value of an object's own attributes (its inline values): an
//    attribute value is never an item of a list or tuple;
//  * an item of a list or tuple of the module's own, while its own count
//    shows that only the module holds it (nobody could have made it a
//    logger's handlers);
//  * an item of a list among the attribute values of the logger being
//    worked on, while that list is held only by those values and the
//    logger's __dict__ only by the logger (its handlers list is then no
//    other logger's, neither as the same list nor through a shared
//    __dict__).
//
// Each is counted exactly or not at all: a holder not counted only sends
// the question to the walk, while one counted that does not hold the
// handler would let a handler another logger carries be closed. Any other
// reference (a user's variable, another logger's list, a frame that is
// emitting through it) makes the counts differ, and the walk answers. The
// counting runs no Python code and, with the GIL, no other thread, so it
// sees one moment. On the free-threaded build a count is read only for an
// object this thread owns: no other thread changes its local part, so the
// sum of the two parts is exact when read; what other threads do meanwhile
// to handlers lists races with this close as it would with the walk.
//
// The one difference from the walk: a logger whose `handlers` is made on
// each read (a property) holds no reference of its own. When what it reads
// is in these places (the list of the logger taken over, say), the walk
// would count it as a carrier and this does not.
class KnownHolders {
 public:
  // The logging logger worked on: the lists among its attribute values.
  // Makes its __dict__ when it has none yet.
  void add_logger(PyObject* logger) noexcept;
  // A list or tuple of the module's own, of which it holds `refs`
  // references and gives none out.
  void add_private(PyObject* seq, Py_ssize_t refs) noexcept;
  // An object whose attribute values may be handlers (a logger object).
  // NULL is ignored.
  void add_object(PyObject* obj) noexcept;
  // 1 when every reference to `handler` is in these places (so no other
  // logger carries it), 0 when that is not known, -1 on error. Each holder
  // added must stay alive while this is asked.
  int hold_all(PyObject* handler) const noexcept;

 private:
  static constexpr int kMax = 2;
  struct Private {
    PyObject* seq;
    Py_ssize_t refs;
  };
  bool added(PyObject* obj) const noexcept;

  PyObject* logger_ = nullptr;
  Private privates_[kMax] = {};
  int nprivates_ = 0;
  PyObject* objects_[kMax] = {};
  int nobjects_ = 0;
};

}  // namespace lm
