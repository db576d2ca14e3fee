// What the factory needs of the variants: whether logging knows a name.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// Whether the `name` argument is already known to logging:
// name in logging.Logger.manager.loggerDict. 1, 0 or -1.
int known_to_logging(PyObject* name) noexcept;

}  // namespace lm
