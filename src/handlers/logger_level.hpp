// The level of a logging logger that carries outputs: the lowest one of its handlers takes.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Sets the logger's level to the lowest level one of its handlers takes, so
// that code asking the logger (isEnabledFor, getEffectiveLevel) gets the
// answer its handlers would give; setLevel is called only when that level
// differs from the logger's. A handler at NOTSET takes every level: the
// logger then passes every level (1; NOTSET would defer to its parent). A
// logging.NullHandler takes none, and a handler without an int level is
// not counted. With no handler counted the logger stays at DEBUG.
int follow_handlers(PyObject* logger) noexcept;

// follow_handlers(logger) when `handler` is one of the logger's handlers:
// after its level changed.
int follow_handler(PyObject* logger, PyObject* handler) noexcept;

}  // namespace lm
