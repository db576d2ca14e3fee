// The free-threaded build's memos of watched dicts: the level methods' __kwdefaults__, logging's level constants.
#pragma once

#include "function/function.hpp"

namespace lm::hot {

#ifdef Py_GIL_DISABLED

// Takes the dict watcher of the memos; without one nothing is remembered.
void start_kwdefaults_memo() noexcept;

// Whether f (the level method of kwdefaults slot `slot`) is remembered to have
// __kwdefaults__ giving args=None and kwargs=None, still so.
bool kwdefaults_none_remembered(Func* f, int slot) noexcept;

// The same, read now (under the dict's lock); remembered when true.
bool kwdefaults_none_derived(Func* f, int slot) noexcept;

// logging.<DEBUG|...|CRITICAL> (index 0 to 4) as the module's `logging`
// gives it now, when remembered (an immortal int, so returned without a
// reference), else null.
PyObject* level_constant_remembered(int index) noexcept;

// Remembers the level constants, when `logging` is a module of this
// module's namespace and each constant an immortal int of its namespace.
void remember_level_constants() noexcept;

#endif  // Py_GIL_DISABLED

}  // namespace lm::hot
