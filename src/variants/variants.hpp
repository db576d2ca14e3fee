// What the factory needs of the variants, and what both variants share.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// os.path.normpath(os.path.abspath(file)) for a non-empty str, else None
// (file is a str or None, as the constructors check).
Ref stored_path(PyObject* file) noexcept;

// Whether the `name` argument is already known to logging:
// name in logging.Logger.manager.loggerDict. 1, 0 or -1.
int known_to_logging(PyObject* name) noexcept;

// self._logger = logging.getLogger(self.name); returns self.name.
Ref bind_standard_logger(PyObject* self) noexcept;

// The set-up both variants end with: level DEBUG, no propagation, the
// filter, then the console and the file handler.
int setup_standard_logger(PyObject* self) noexcept;

}  // namespace lm
