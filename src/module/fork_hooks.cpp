// The fork hooks: the module lock is held across fork and re-created in the child.
#include "function/function.hpp"
#include "hot/verdict.hpp"
#include "module/module_body.hpp"
#include "process/lock.hpp"
#include "process/state.hpp"

namespace lm {
namespace {

// The fork hooks (see ModuleLock). Before: the lock is taken, once every
// VarnelLog or close under way on other threads has finished.
Ref lock_before_fork(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  if (lock_for_fork() < 0) return {};
  return none();
}

Ref unlock_in_parent(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  return unlock_after_fork();
}

// In the child the lock is re-created in place (the object bound to _LOCK
// stays the same), unless the forking thread holds it and goes on.
Ref reinit_lock(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  hot::forget();  // nothing cached in the parent is trusted in the child
  if (!lock_free_in_child()) return none();
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

// Each hook with the keyword of os.register_at_fork it is given as.
struct ForkHook {
  const char* when;
  Signature sig;
};
constexpr ForkHook fork_hook(const char* when, const char* name,
                             Ref (*impl)(Func*, Bound&) noexcept) {
  return {when, {.name = name, .qualname = name, .params = {}, .returns = "None", .impl = impl}};
}
const ForkHook fork_hooks[] = {
    fork_hook("before", "_lock_before_fork", lock_before_fork),
    fork_hook("after_in_parent", "_unlock_after_fork_in_parent", unlock_in_parent),
    fork_hook("after_in_child", "_reinit_lock_after_fork", reinit_lock),
};

}  // namespace

// Registered once per process, before the module is published, and after
// the module body imported logging: before-fork hooks run in the reverse
// order of registration, so the module lock is taken before logging's.
int register_fork_handler() noexcept {
  static bool registered = false;
  if (registered) return 0;
  Ref os = global(N.os);
  if (!os) return -1;
  Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) {
    // Platforms without fork have nothing to do.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  Ref hooks = Ref::steal(PyDict_New());
  if (!hooks) return -1;
  for (const ForkHook& hook : fork_hooks) {
    Ref fn = make_function(hook.sig, state.ns, N.s_log_main);
    if (!fn || PyDict_SetItemString(hooks.get(), hook.when, fn.get()) < 0) return -1;
  }
  if (!call_dict(register_at_fork.get(), {}, hooks.get())) return -1;
  registered = true;
  return 0;
}

}  // namespace lm
