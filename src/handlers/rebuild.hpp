// Rebuilding a captured handler from its handler record.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// type(**kwargs) with the record's level, filters and formatter, attached
// to logger. Truncating and exclusive modes reopen in append mode, so what
// was written before the capture is kept; a timed handler gets its
// interval back in units of its `when` and no "mode".
Ref rebuild_handler(PyObject* logger, PyObject* record) noexcept;

}  // namespace lm
