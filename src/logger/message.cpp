// The message of a level method's call: its parts converted in order, then joined.
#include "logger/message.hpp"

#include "capi/names.hpp"

namespace lm {

int Message::prepare() noexcept {
  if (converted_.reserve(static_cast<size_t>(n_)) < 0) return -1;
  for (Py_ssize_t i = 0; i < n_; ++i) {
    PyObject* part = parts_[i];
    if (PyUnicode_CheckExact(part) || converts_silently(part)) continue;
    converted_any_ = true;
    converted_[i] = Ref::steal(PyObject_Str(part));
    if (!converted_[i]) return -1;
  }
  return 0;
}

Ref Message::text() noexcept {
  // Each part's text: exactly a str as it is, else converted (now, for
  // those prepare() left), kept alive here until it is copied.
  for (Py_ssize_t i = 0; i < n_; ++i) {
    if (converted_[i] || PyUnicode_CheckExact(parts_[i])) continue;
    converted_[i] = Ref::steal(PyObject_Str(parts_[i]));
    if (!converted_[i]) return {};
  }
  auto piece = [&](Py_ssize_t i) { return converted_[i] ? converted_[i].get() : parts_[i]; };
  if (n_ == 0) return Ref::borrow(N.s_empty);
  if (n_ == 1) return Ref::borrow(piece(0));

  Py_ssize_t length = n_ - 1;  // the separators
  Py_UCS4 maxchar = 0;
  for (Py_ssize_t i = 0; i < n_; ++i) {
    PyObject* part = piece(i);
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
  for (Py_ssize_t i = 0; i < n_; ++i) {
    if (i > 0) {
      PyUnicode_WRITE(PyUnicode_KIND(text.get()), PyUnicode_DATA(text.get()), at, ' ');
      ++at;
    }
    PyObject* part = piece(i);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(part);
    if (len && PyUnicode_CopyCharacters(text.get(), at, part, 0, len) < 0) return {};
    at += len;
  }
  return text;
}

}  // namespace lm
