// _LOCK, entered as `with _LOCK:` by the factory and close, never twice by one thread.
#pragma once

#include "runtime/context.hpp"

namespace lm {

// The lock is a plain threading.Lock, looked up when entered. A thread that
// already holds it (code run by the factory or close that calls one of them
// again) gets a RuntimeError instead of waiting for itself for ever.
class ModuleLock {
 public:
  int enter() noexcept;
  // Leaves the lock and hands `result` (or the exception in flight) on.
  Ref exit(Ref result) noexcept;

 private:
  With with_;
  bool entered_ = false;
};

// Forgets the owner: the child of a fork starts with the lock free.
void forget_lock_owner() noexcept;

}  // namespace lm
