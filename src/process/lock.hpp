// The module lock _LOCK, taken by the factory and close, and held across fork.
#pragma once

#include "capi/call.hpp"

namespace lm {

// The lock is a plain threading.Lock, looked up when entered. A thread that
// already holds it (code run by the factory or close that calls one of them
// again) gets a RuntimeError instead of waiting for itself for ever.
//
// Its release cannot fail: everything the release needs (the bound __exit__
// and a spare argument tuple, see With) is made before the lock is taken,
// and the release falls back on them when it has no memory for more, so an
// exception in flight, MemoryError included, always leaves the lock free.
//
// Across fork the lock is held: the forking thread takes it before the fork
// (after logging's at-fork hook was registered, so before logging's lock is
// taken: the module lock first, as everywhere), the parent releases it after
// the fork and the child starts with it free. When the forking thread holds
// it itself (a fork from code run inside VarnelLog or close), it is not
// taken again, and that thread goes on holding it in parent and child.
class ModuleLock {
 public:
  int enter() noexcept;
  // Leaves the lock and hands `result` (or the exception in flight) on.
  Ref exit(Ref result) noexcept;
  // Forgets the lock without leaving it (in the child of a fork).
  void abandon() noexcept;

 private:
  With with_;
  bool entered_ = false;
};

// The fork hooks: lock_for_fork before a fork, unlock_after_fork in the
// parent, and in the child lock_free_in_child, which says whether the lock
// must be re-created (false: the forking thread holds it and goes on).
int lock_for_fork() noexcept;
Ref unlock_after_fork() noexcept;
bool lock_free_in_child() noexcept;

}  // namespace lm
