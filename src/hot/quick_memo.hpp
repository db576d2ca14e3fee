// The free-threaded build's memo of logger objects: a level call that a disabled object or its logger refuses, answered from what watched dicts gave.
#pragma once

#include "hot/verdict.hpp"

namespace lm::hot {

#ifdef Py_GIL_DISABLED

// Whether the memo can be used: a store into an instance's inline
// attribute values reaches the watcher of the __dict__ made for it.
bool start_quick_memo() noexcept;

// What a call of a level method of `self` (level index 0 to 4) is known to
// do, from the memo: as quick() answers.
Quick quick_remembered(PyObject* self, int level_index) noexcept;

// Remembers what self's call would find (`dict` is self's own __dict__,
// where self._logger was just read as `logger`), unless it already is.
void remember_quick(PyObject* self, PyObject* dict, PyObject* logger) noexcept;

#endif  // Py_GIL_DISABLED

}  // namespace lm::hot
