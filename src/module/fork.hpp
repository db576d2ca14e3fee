// Fork handling for the module lock.
#pragma once

namespace lm {

// Registers, once the module is initialised, the reinitialisation of _LOCK
// in a forked child.
int register_fork_handler() noexcept;

}  // namespace lm
