// RefBuffer: a run of owned references, on the stack when it is small.
#pragma once

#include <cstddef>
#include <new>

#include "runtime/ref.hpp"

namespace lm {

template <std::size_t Inline>
class RefBuffer {
 public:
  RefBuffer() noexcept = default;
  RefBuffer(const RefBuffer&) = delete;
  RefBuffer& operator=(const RefBuffer&) = delete;
  ~RefBuffer() { delete[] heap_; }

  // Makes room for n references; raises MemoryError and returns -1 if it
  // cannot.
  int reserve(std::size_t n) noexcept {
    if (n <= Inline) {
      data_ = inline_;
      return 0;
    }
    heap_ = new (std::nothrow) Ref[n];
    if (!heap_) {
      PyErr_NoMemory();
      return -1;
    }
    data_ = heap_;
    return 0;
  }
  Ref& operator[](std::size_t i) noexcept { return data_[i]; }

 private:
  Ref inline_[Inline];
  Ref* heap_ = nullptr;
  Ref* data_ = inline_;
};

// A run of raw pointers for a vectorcall stack, on the stack when small.
template <std::size_t Inline>
class PtrBuffer {
 public:
  PtrBuffer() noexcept = default;
  PtrBuffer(const PtrBuffer&) = delete;
  PtrBuffer& operator=(const PtrBuffer&) = delete;
  ~PtrBuffer() { delete[] heap_; }

  int reserve(std::size_t n) noexcept {
    if (n <= Inline) return 0;
    heap_ = new (std::nothrow) PyObject*[n];
    if (!heap_) {
      PyErr_NoMemory();
      return -1;
    }
    data_ = heap_;
    return 0;
  }
  PyObject** data() noexcept { return data_; }
  PyObject*& operator[](std::size_t i) noexcept { return data_[i]; }

 private:
  PyObject* inline_[Inline];
  PyObject** heap_ = nullptr;
  PyObject** data_ = inline_;
};

}  // namespace lm
