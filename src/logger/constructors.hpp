// What the factory needs of the constructors: whether logging knows a name.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Whether logging already knows the logger `name`: it is in
// logging.Logger.manager.loggerDict as a logger, not only as the placeholder
// of loggers below it. 1, 0 or -1.
int known_to_logging(PyObject* name) noexcept;

}  // namespace lm
