// The first exception that must not be lost while a walk or an undo goes on.
#include "registry/pending.hpp"

#include <utility>

namespace lm {

void Pending::keep() noexcept {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!first_) first_ = std::move(exc);
}

void Pending::keep_unless_exception() noexcept {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return;
  }
  keep();
}

int Pending::finish() noexcept {
  if (!first_) return 0;
  PyErr_SetRaisedException(first_.release());
  return -1;
}

}  // namespace lm
