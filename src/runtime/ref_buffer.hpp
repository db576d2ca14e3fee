// StackBuffer: a run of values on the stack when small, else from PyMem.
#pragma once

#include <cstddef>
#include <new>

#include "runtime/ref.hpp"

namespace lm {

// Holds up to Inline values in place; reserve() moves to a heap block for
// more. The heap block comes from PyMem_Malloc and each value is built with
// placement new, so nothing of the C++ runtime library is needed.
template <class T, std::size_t Inline>
class StackBuffer {
 public:
  StackBuffer() noexcept = default;
  StackBuffer(const StackBuffer&) = delete;
  StackBuffer& operator=(const StackBuffer&) = delete;
  ~StackBuffer() {
    if (!heap_) return;
    for (std::size_t i = 0; i < count_; ++i) heap_[i].~T();
    PyMem_Free(heap_);
  }

  // Makes room for n values (once per buffer); raises MemoryError and
  // returns -1 if it cannot.
  int reserve(std::size_t n) noexcept {
    if (n <= Inline) return 0;
    void* raw = n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)
                    ? nullptr
                    : PyMem_Malloc(n * sizeof(T));
    if (!raw) {
      PyErr_NoMemory();
      return -1;
    }
    heap_ = static_cast<T*>(raw);
    for (count_ = 0; count_ < n; ++count_) new (heap_ + count_) T();
    data_ = heap_;
    return 0;
  }
  T* data() noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }

 private:
  T inline_[Inline];
  T* heap_ = nullptr;
  std::size_t count_ = 0;
  T* data_ = inline_;
};

// Owned references, for values that must outlive user code run meanwhile.
template <std::size_t Inline>
using RefBuffer = StackBuffer<Ref, Inline>;

// Raw pointers, for a vectorcall argument array.
template <std::size_t Inline>
using PtrBuffer = StackBuffer<PyObject*, Inline>;

}  // namespace lm
