// What the module's exec runs: the module body, and the fork hooks' registration.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Binds the namespace `ns` and defines the classes, as the module body does.
int run_module_body(PyObject* ns) noexcept;

// Registers the fork hooks with os.register_at_fork, once per process.
int register_fork_handler() noexcept;

}  // namespace lm
