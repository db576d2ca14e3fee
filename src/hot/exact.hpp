// Whether a log call could be seen by anybody: the verdict and its exact test.
#pragma once

#include <cstdint>

#include "capi/ref.hpp"

namespace lm {

// The answer to "may logger.log(level, text, *args, **kwargs) be left out?".
// Error means an exception is set and must propagate.
enum class Verdict : std::uint8_t { Call, Skip, Error };

// The exact test, reading everything now. Skip when the call would reach
// no handler able to take the record and have no other effect: at least
// one handler is reachable (so the last-resort handler is not involved),
// none has a level at or below the record's, the logger's class and
// instance leave logging's own methods in place, it has no filters and the
// record factory is the default one. Any doubt gives Call; an ordinary
// failure while testing is a doubt too.
Verdict decide_exactly(PyObject* logger, PyObject* level, PyObject* args,
                       PyObject* kwargs) noexcept;

// Gives `type` a version tag (any later change to it or its bases resets
// it); false when none is left. A type that has one is not touched: the
// interpreter assigns tags under a lock of its own, for which every log
// call of every thread would contend on a free-threaded build.
bool version_tagged(PyTypeObject* type) noexcept;

// Whether `type` leaves logging's methods on the path of Logger.log in
// place and reads the attributes the test uses the ordinary way; `logging`
// is the logging module. On success its version tag is assigned.
bool logger_type_untouched(PyTypeObject* type, PyObject* logging) noexcept;

// Whether logging._logRecordFactory is logging.LogRecord with its own
// __init__ (1), not (0), or an error (-1).
int default_record_factory(PyObject* logging) noexcept;

// Whether args/kwargs make the record depend on more than the level: a
// non-empty kwargs, or one argument that LogRecord would test as a mapping.
bool arguments_inspected(PyObject* args, PyObject* kwargs) noexcept;

}  // namespace lm
