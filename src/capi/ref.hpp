// Ref, the one owned-reference type, and StackBuffer, a run of values kept on the stack when small.
#pragma once

#include <Python.h>
#include <cstddef>
#include <new>

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


// Room for up to Inline values in place, or a heap block for more. No value
// exists before reserve(n) builds n of them (value-initialised: null), so
// an unused buffer costs nothing to make or drop. The heap block comes from
// PyMem_Malloc and each value is built with placement new, so nothing of
// the C++ runtime library is needed.
template <class T, std::size_t Inline>
class StackBuffer {
 public:
  StackBuffer() noexcept = default;
  StackBuffer(const StackBuffer&) = delete;
  StackBuffer& operator=(const StackBuffer&) = delete;
  ~StackBuffer() {
    for (std::size_t i = 0; i < count_; ++i) data_[i].~T();
    if (data_ != in_place()) PyMem_Free(data_);
  }

  // Builds n values (once per buffer), on the heap when they do not fit in
  // place; raises MemoryError and returns -1 if it cannot.
  int reserve(std::size_t n) noexcept {
    if (n > Inline) {
      void* raw = n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)
                      ? nullptr
                      : PyMem_Malloc(n * sizeof(T));
      if (!raw) {
        PyErr_NoMemory();
        return -1;
      }
      data_ = static_cast<T*>(raw);
    }
    for (count_ = 0; count_ < n; ++count_) new (data_ + count_) T();
    return 0;
  }
  T* data() noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }

 private:
  T* in_place() noexcept { return reinterpret_cast<T*>(storage_); }

  alignas(T) unsigned char storage_[Inline * sizeof(T)];
  T* data_ = in_place();
  std::size_t count_ = 0;
};

// Owned references, for values that must outlive user code run meanwhile.
template <std::size_t Inline>
using RefBuffer = StackBuffer<Ref, Inline>;

// Raw pointers, for a vectorcall argument array.
template <std::size_t Inline>
using PtrBuffer = StackBuffer<PyObject*, Inline>;

}  // namespace lm
