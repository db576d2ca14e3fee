// Message composition: str() of each part, joined by single spaces, in one pass.
#include "core/compose.hpp"

#include "module/state.hpp"
#include "runtime/ref_buffer.hpp"

namespace lm {

Ref compose(PyObject* const* parts, Py_ssize_t n) noexcept {
  if (n == 0) return Ref::borrow(N.s_empty);
  if (n == 1) {
    PyObject* only = parts[0];
    if (PyUnicode_CheckExact(only)) return Ref::borrow(only);
    return Ref::steal(PyObject_Str(only));
  }

  // Parts whose type is exactly str are used as they are; the others are
  // converted and kept alive here until they are copied.
  RefBuffer<16> converted;
  if (converted.reserve(static_cast<size_t>(n)) < 0) return {};
  Py_ssize_t length = n - 1;  // the separators
  Py_UCS4 maxchar = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* part = parts[i];
    if (!PyUnicode_CheckExact(part)) {
      converted[i] = Ref::steal(PyObject_Str(part));
      if (!converted[i]) return {};
      part = converted[i].get();
    }
    const Py_ssize_t len = PyUnicode_GET_LENGTH(part);
    if (len > PY_SSIZE_T_MAX - length) {
      PyErr_SetString(PyExc_OverflowError, "joined message is too long");
      return {};
    }
    length += len;
    const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(part);
    if (mc > maxchar) maxchar = mc;
  }

  Ref text = Ref::steal(PyUnicode_New(length, maxchar));
  if (!text) return {};
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i > 0) {
      PyUnicode_WRITE(PyUnicode_KIND(text.get()), PyUnicode_DATA(text.get()), at, ' ');
      ++at;
    }
    PyObject* part = converted[i] ? converted[i].get() : parts[i];
    const Py_ssize_t len = PyUnicode_GET_LENGTH(part);
    if (len && PyUnicode_CopyCharacters(text.get(), at, part, 0, len) < 0) return {};
    at += len;
  }
  return text;
}

}  // namespace lm
