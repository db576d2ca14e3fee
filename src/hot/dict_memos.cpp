// The free-threaded build's memos of watched dicts: the level methods' __kwdefaults__, logging's level constants.
#include "hot/dict_memos.hpp"

#ifdef Py_GIL_DISABLED

#include <atomic>
#include <cstdint>

#include "capi/levels.hpp"
#include "capi/names.hpp"
#include "hot/verdict.hpp"
#include "process/state.hpp"

namespace lm::hot {
namespace {

// Why a remembered answer is still true.
//
// The epoch moves on at each event of a watched dict. The interpreter calls
// a dict watcher before the store it announces, while the writer holds the
// dict's lock. An answer is derived after reading the epoch, from the dict
// read under its lock (where the watch is set too), so it never carries an
// epoch newer than what it read: a store after that read moves the epoch
// on, and one before it was read. A dict freed is an event as well, so a
// dict at a remembered address under the remembered epoch is the same
// dict; f's __kwdefaults__ replaced shows as another address.
//
// The level constants are derived the same way, from this module's
// namespace (its `logging`) and that module's namespace, each read under
// its lock; a module's namespace is freed only after the module, and
// freeing it is an event. Only immortal ints are remembered, so a constant
// returned needs no reference. What no watcher sees, the module's class
// (assignable to a subclass of the module type), is read on each call:
// the module is alive then, as modules there are freed only by a
// collection, which waits for this thread to reach a safe point.
//
// Each entry is written under a sequence counter (odd while it is
// written; a writer that finds it odd leaves it) and read with relaxed
// loads, valid when the counter was even and unchanged across them. Only
// addresses are kept: nothing is owned.
std::atomic<std::uint64_t> epoch{1};
int watcher = -1;

struct Remembered {
  std::atomic<unsigned int> seq{0};
  std::atomic<std::uint64_t> stamp{0};
  std::atomic<Func*> func{nullptr};
  std::atomic<PyObject*> dict{nullptr};
};
Remembered remembered[kKwDefaultsSlots];

struct Constants {
  std::atomic<std::uint64_t> failed{0};  // the epoch at which they could not be
  std::atomic<unsigned int> seq{0};
  std::atomic<std::uint64_t> stamp{0};
  std::atomic<PyObject*> module{nullptr};
  std::atomic<PyObject*> levels[kLevelCount] = {};
};
Constants constants;

int on_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  epoch.fetch_add(1);
  return 0;
}

void remember(Remembered& r, std::uint64_t stamp, Func* f, PyObject* dict) noexcept {
  unsigned int was;
  if (!begin_write(r.seq, was)) return;
  r.stamp.store(stamp, std::memory_order_relaxed);
  r.func.store(f, std::memory_order_relaxed);
  r.dict.store(dict, std::memory_order_relaxed);
  end_write(r.seq, was);
}

// dict[key], the key found by identity (see none_by_identity), borrowed:
// the caller holds the dict's lock. Null when absent.
PyObject* by_identity(PyObject* dict, PyObject* wanted) noexcept {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (key == wanted) return value;
  return nullptr;
}

// The constants read from logging's namespace `ns` (under its lock), all
// immortal ints, watched; false otherwise.
bool read_constants(PyObject* ns, PyObject* (&levels)[kLevelCount]) noexcept {
  bool ok = true;
  Py_BEGIN_CRITICAL_SECTION(ns);
  ok = PyDict_Watch(watcher, ns) == 0;
  for (int i = 0; ok && i < kLevelCount; ++i) {
    levels[i] = by_identity(ns, level_constant_name(i));
    ok = levels[i] && PyLong_CheckExact(levels[i]) && _Py_IsImmortal(levels[i]);
  }
  Py_END_CRITICAL_SECTION();
  PyErr_Clear();
  return ok;
}

// Whether `dict` gives args=None and kwargs=None, its keys found by
// identity (no comparison that could run code, or release the lock): a
// key equal but not identical only means "no".
bool none_by_identity(PyObject* dict) noexcept {
  PyObject *key, *value, *args = nullptr, *kwargs = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (key == N.args) args = value;
    if (key == N.kwargs) kwargs = value;
  }
  return args == Py_None && kwargs == Py_None;
}

}  // namespace

bool begin_write(std::atomic<unsigned int>& seq, unsigned int& was) noexcept {
  was = seq.load(std::memory_order_relaxed);
  if ((was & 1) || !seq.compare_exchange_strong(was, was + 1, std::memory_order_relaxed))
    return false;
  std::atomic_thread_fence(std::memory_order_release);
  return true;
}

std::uint64_t memo_epoch() noexcept { return epoch.load(std::memory_order_acquire); }

void move_memo_epoch() noexcept { epoch.fetch_add(1); }

bool memo_watch(PyObject* dict) noexcept {
  if (watcher >= 0 && PyDict_Watch(watcher, dict) == 0) return true;
  PyErr_Clear();
  return false;
}

void start_kwdefaults_memo() noexcept {
  if (watcher >= 0) return;
  watcher = PyDict_AddWatcher(on_event);
  if (watcher < 0) PyErr_Clear();
}

bool kwdefaults_none_remembered(Func* f, int slot) noexcept {
  Remembered& r = remembered[slot];
  const unsigned int seq = r.seq.load(std::memory_order_acquire);
  if (seq & 1) return false;
  const std::uint64_t stamp = r.stamp.load(std::memory_order_relaxed);
  Func* func = r.func.load(std::memory_order_relaxed);
  PyObject* dict = r.dict.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (r.seq.load(std::memory_order_relaxed) != seq) return false;
  return stamp == epoch.load(std::memory_order_acquire) && func == f && dict &&
         dict == _Py_atomic_load_ptr_relaxed(&f->kwdefaults);
}

bool kwdefaults_none_derived(Func* f, int slot) noexcept {
  const std::uint64_t stamp = epoch.load(std::memory_order_acquire);
  Ref dict = snapshot(f).kwdefaults;
  if (!dict || !PyDict_CheckExact(dict.get())) return false;
  bool none = false;
  int watched = -1;
  Py_BEGIN_CRITICAL_SECTION(dict.get());
  watched = watcher < 0 ? -1 : PyDict_Watch(watcher, dict.get());
  none = none_by_identity(dict.get());
  Py_END_CRITICAL_SECTION();
  if (watched < 0) PyErr_Clear();
  if (none && watched == 0) remember(remembered[slot], stamp, f, dict.get());
  return none;
}

PyObject* level_constant_remembered(int index) noexcept {
  const unsigned int seq = constants.seq.load(std::memory_order_acquire);
  if (seq & 1) return nullptr;
  const std::uint64_t stamp = constants.stamp.load(std::memory_order_relaxed);
  PyObject* module = constants.module.load(std::memory_order_relaxed);
  PyObject* level = constants.levels[index].load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (constants.seq.load(std::memory_order_relaxed) != seq) return nullptr;
  if (stamp != epoch.load(std::memory_order_acquire)) return nullptr;
  return _Py_atomic_load_ptr_relaxed(&module->ob_type) == &PyModule_Type ? level : nullptr;
}

bool level_values_at(std::uint64_t stamp, PyObject* module, long (&levels)[kLevelCount]) noexcept {
  const unsigned int seq = constants.seq.load(std::memory_order_acquire);
  if (seq & 1) return false;
  const bool same = constants.stamp.load(std::memory_order_relaxed) == stamp &&
                    constants.module.load(std::memory_order_relaxed) == module;
  PyObject* found[kLevelCount];
  for (int i = 0; i < kLevelCount; ++i) found[i] = constants.levels[i].load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (!same || constants.seq.load(std::memory_order_relaxed) != seq) return false;
  for (int i = 0; i < kLevelCount; ++i) levels[i] = PyLong_AsLong(found[i]);  // immortal ints
  return true;
}

void remember_level_constants() noexcept {
  const std::uint64_t stamp = epoch.load(std::memory_order_acquire);
  if (watcher < 0 || constants.failed.load(std::memory_order_relaxed) == stamp) return;
  Ref module;
  Py_BEGIN_CRITICAL_SECTION(state.ns);
  if (PyDict_Watch(watcher, state.ns) == 0) module = Ref::borrow(by_identity(state.ns, N.logging));
  Py_END_CRITICAL_SECTION();
  PyErr_Clear();
  PyObject* levels[kLevelCount];
  if (!module || !PyModule_CheckExact(module.get()) ||
      !read_constants(PyModule_GetDict(module.get()), levels)) {
    constants.failed.store(stamp, std::memory_order_relaxed);
    return;
  }
  unsigned int was;
  if (!begin_write(constants.seq, was)) return;
  constants.stamp.store(stamp, std::memory_order_relaxed);
  constants.module.store(module.get(), std::memory_order_relaxed);
  for (int i = 0; i < kLevelCount; ++i) constants.levels[i].store(levels[i], std::memory_order_relaxed);
  end_write(constants.seq, was);
}

}  // namespace lm::hot

#endif  // Py_GIL_DISABLED
