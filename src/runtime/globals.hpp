// Global lookup at the moment of use: the namespace dict, then builtins.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// Returns globals[name], else builtins[name], else raises NameError
// "name '%U' is not defined".
Ref lookup_global(PyObject* globals, PyObject* name) noexcept;

}  // namespace lm
