// The module lock: who holds it, entering and leaving it, and the fork hooks' part.
#include "process/lock.hpp"

#include <atomic>

#include "process/state.hpp"

namespace lm {

namespace {

// The thread inside the factory or close, 0 when none (no thread has the
// ident 0). Written only by the thread that holds _LOCK, right after
// acquiring it and right before releasing it; read by any thread, which can
// only ever find its own ident there while it holds the lock itself.
std::atomic<unsigned long> owner{0};

}  // namespace

int ModuleLock::enter() noexcept {
  if (owner.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "VarnelLog() and close() cannot be called from code that runs inside "
                    "VarnelLog() or close() on the same thread (a handler, filter, __str__, "
                    "__eq__ or __hash__ they call): the module lock _LOCK is not reentrant");
    return -1;
  }
  Ref lock = global(N._LOCK);
  if (!lock || with_.enter(lock.get()) < 0) return -1;
  owner.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
  entered_ = true;
  return 0;
}

Ref ModuleLock::exit(Ref result) noexcept {
  if (entered_) {
    owner.store(0, std::memory_order_relaxed);
    entered_ = false;
  }
  return with_.exit(std::move(result));
}

void ModuleLock::abandon() noexcept {
  with_.abandon();
  entered_ = false;
}

namespace {

ModuleLock fork_hold;         // taken before a fork, left after it
bool forked_by_owner = false;  // the forking thread held the lock already

}  // namespace

int lock_for_fork() noexcept {
  forked_by_owner = owner.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
  if (forked_by_owner) return 0;
  return fork_hold.enter();
}

Ref unlock_after_fork() noexcept { return fork_hold.exit(none()); }

bool lock_free_in_child() noexcept {
  if (forked_by_owner) return false;
  fork_hold.abandon();
  owner.store(0, std::memory_order_relaxed);
  return true;
}

}  // namespace lm
