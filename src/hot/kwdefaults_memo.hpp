// The free-threaded build's memo of the level methods' __kwdefaults__, watched.
#pragma once

#include "function/function.hpp"

namespace lm::hot {

#ifdef Py_GIL_DISABLED

// Takes the dict watcher of the memo; without one nothing is remembered.
void start_kwdefaults_memo() noexcept;

// Whether f (the level method of `index`) is remembered to have
// __kwdefaults__ giving args=None and kwargs=None, still so.
bool kwdefaults_none_remembered(Func* f, int index) noexcept;

// The same, read now (under the dict's lock); remembered when true.
bool kwdefaults_none_derived(Func* f, int index) noexcept;

#endif  // Py_GIL_DISABLED

}  // namespace lm::hot
