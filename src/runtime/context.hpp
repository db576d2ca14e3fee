// The `with` statement: __enter__, then __exit__ on every way out.
#pragma once

#include "runtime/ref.hpp"

namespace lm {

// Enters a context manager looked up on its type, as `with` does.
// Usage:  With w; if (w.enter(mgr) < 0) return {};  ...  return w.exit(result);
class With {
 public:
  With() noexcept = default;
  With(const With&) = delete;
  With& operator=(const With&) = delete;

  int enter(PyObject* manager) noexcept;

  // Leaves the block. With `result` empty, an exception is in flight: it is
  // passed to __exit__, which may suppress it (then None is returned).
  // An exception from __exit__ itself replaces the result.
  Ref exit(Ref result) noexcept;

 private:
  Ref manager_, exit_;
};

}  // namespace lm
