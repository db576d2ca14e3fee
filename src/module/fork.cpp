// After a fork, the child gets _LOCK back unlocked, as logging does with its own locks,
// and drops what the hot paths cached.
#include "module/fork.hpp"

#include "core/skip_cache.hpp"
#include "module/module_lock.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

// A thread of the parent may have held the lock at the fork; that thread
// does not exist in the child, so the lock is reinitialised in place: the
// object bound to _LOCK stays the same.
Ref reinit_lock(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  forget_lock_owner();
  hot::forget();  // nothing cached in the parent is trusted in the child
  Ref lock = global(N._LOCK);
  if (!lock) return {};
  PyObject* reinit = nullptr;
  if (PyObject_GetOptionalAttrString(lock.get(), "_at_fork_reinit", &reinit) < 0) return {};
  if (!reinit) return none();  // not a lock of the threading module
  Ref hold = Ref::steal(reinit);
  Ref r = call(reinit);
  if (!r) return {};
  return none();
}

const Signature reinit_lock_sig = {
    .name = "_reinit_lock_after_fork",
    .qualname = "_reinit_lock_after_fork",
    .params = {},
    .returns = "None",
    .impl = reinit_lock,
};

}  // namespace

int register_fork_handler() noexcept {
  Ref os = global(N.os);
  if (!os) return -1;
  Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) {
    // Platforms without fork have nothing to do.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  Ref callback = make_function(reinit_lock_sig, state.ns, N.s_log_main);
  Ref key = str("after_in_child");
  if (!callback || !key) return -1;
  return call_kw(register_at_fork.get(), {}, {{key.get(), callback.get()}}) ? 0 : -1;
}

}  // namespace lm
