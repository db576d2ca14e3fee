// The module body, run once by the execution slot.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// Binds every name of the namespace in order; state.ns must already be ns.
int run_module_body(PyObject* ns) noexcept;

}  // namespace lm
