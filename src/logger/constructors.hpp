// What the factory needs of the constructors: what logging holds for a name.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// What logging.Logger.manager.loggerDict holds for `name`: nothing, the
// placeholder of loggers below it (logging does not know the logger
// itself yet), or a logger. Error with the exception set.
enum class InLogging : signed char { Error = -1, Absent, Placeholder, Logger };
InLogging in_logging(PyObject* name) noexcept;

}  // namespace lm
