// Reading the registries: the top position of a name's stack.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// max(_LOGGERS.get(name, {fallback: 0}).keys()), with _LOGGERS read now.
Ref top_position(PyObject* name, long fallback) noexcept;

// Keeps the handlers of the capture record at (name, position) alive, or
// lets them go once the record is gone.
int hold_captured(PyObject* name, PyObject* position, PyObject* handlers) noexcept;
int release_captured(PyObject* name, PyObject* position) noexcept;

// position > value: 1, 0 or -1.
int compare_position(PyObject* position, long value) noexcept;

// A new int: position + delta.
Ref shifted(PyObject* position, long delta) noexcept;

}  // namespace lm
