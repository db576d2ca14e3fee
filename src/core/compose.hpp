// Message composition for the level methods.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// The text of n parts: each part that is exactly a str as it is, any other
// through str(), joined with single spaces.
Ref compose(PyObject* const* parts, Py_ssize_t n) noexcept;

}  // namespace lm
