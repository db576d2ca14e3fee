// Ref: the one owned-reference type; borrowed references stay raw PyObject*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lm {

// Owns one strong reference (or nothing). Ownership is always explicit at
// construction: steal() adopts a reference the caller already owns (the
// result of a C API call returning a new reference), borrow() takes a new
// one. An empty Ref is the error value of functions returning Ref: the
// exception is set whenever such a function hands back an empty Ref.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);  // may run arbitrary code, so it comes last
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (to return it to the interpreter).
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  Ref copy() const noexcept { return borrow(p_); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

}  // namespace lm
