// _LOCK, entered as `with _LOCK:` by the factory and close, never twice by one thread.
#include "module/module_lock.hpp"

#include "module/state.hpp"

namespace lm {
namespace {

// The thread inside the factory or close, if any. Read and written with
// the GIL held, by the thread that holds the lock.
bool held = false;
unsigned long owner = 0;

}  // namespace

int ModuleLock::enter() noexcept {
  if (held && owner == PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "VarnelLog() and close() cannot be called from code that runs inside "
                    "VarnelLog() or close() on the same thread (a handler, filter, __str__, "
                    "__eq__ or __hash__ they call): the module lock _LOCK is not reentrant");
    return -1;
  }
  Ref lock = global(N._LOCK);
  if (!lock || with_.enter(lock.get()) < 0) return -1;
  held = true;
  owner = PyThread_get_thread_ident();
  entered_ = true;
  return 0;
}

Ref ModuleLock::exit(Ref result) noexcept {
  if (entered_) {
    held = false;
    entered_ = false;
  }
  return with_.exit(std::move(result));
}

void forget_lock_owner() noexcept { held = false; }

}  // namespace lm
