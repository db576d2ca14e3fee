// The message of a level method's call: its parts' str(), joined by spaces.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Whether str(part) runs no Python code, has no visible effect and cannot
// fail (short of memory). One int digit (30 bits) is at most ten decimal
// digits, far below any limit of int-to-str conversion.
inline bool converts_silently(PyObject* part) noexcept {
  return part == Py_None || PyBool_Check(part) || PyFloat_CheckExact(part) ||
         (PyLong_CheckExact(part) &&
          PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(part)));
}

// Whether composing these parts runs no Python code.
inline bool all_silent(PyObject* const* parts, Py_ssize_t n) noexcept {
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyUnicode_CheckExact(parts[i]) && !converts_silently(parts[i])) return false;
  return true;
}

// The text of n parts: each part that is exactly a str as it is, any other
// through str(), joined with single spaces. Made in two steps: prepare()
// converts, in order, every part whose str() could run Python code or fail;
// text() converts the rest (exactly a bool, None, a float, or an int far
// below the digit limit of int-to-str conversion: their str() has no
// visible effect) and joins. A record nobody could see needs no text().
class Message {
 public:
  Message(PyObject* const* parts, Py_ssize_t n) noexcept : parts_(parts), n_(n) {}
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // -1 with the exception set when a conversion fails.
  int prepare() noexcept;
  // Whether prepare() ran any part's str().
  bool converted_any() const noexcept { return converted_any_; }
  Ref text() noexcept;

 private:
  PyObject* const* parts_;
  Py_ssize_t n_;
  RefBuffer<16> converted_;
  bool converted_any_ = false;
};

}  // namespace lm
