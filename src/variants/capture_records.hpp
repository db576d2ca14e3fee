// Handler records: what a capture keeps of each handler to rebuild it later.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// {"id", "type", "level", "name", "filters", "formatter"[, "kwargs"
//  [, "namer", "rotator"]]} for one handler.
Ref handler_record(PyObject* handler) noexcept;

}  // namespace lm
