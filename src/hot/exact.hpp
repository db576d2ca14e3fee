// The exact verdict: whether a log call could be seen by anybody, reading everything now.
#pragma once

#include "hot/verdict.hpp"

namespace lm::hot {

// The exact test, reading everything now. Skip when the call would reach
// no handler able to take the record and have no other effect: at least
// one handler is reachable (so the last-resort handler is not involved),
// none has a level at or below the record's, the logger's class and
// instance leave logging's own methods in place, it has no filters and the
// record factory is the default one. Any doubt gives Call; an ordinary
// failure while testing is a doubt too.
Verdict decide_exactly(PyObject* logger, PyObject* level, PyObject* args,
                       PyObject* kwargs) noexcept;

}  // namespace lm::hot
