// The free-threaded build's memo of the level methods' __kwdefaults__, watched.
#include "hot/kwdefaults_memo.hpp"

#ifdef Py_GIL_DISABLED

#include <atomic>
#include <cstdint>

#include "capi/levels.hpp"
#include "capi/names.hpp"

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
// Each level's entry is written under a sequence counter (odd while it is
// written; a writer that finds it odd leaves it) and read with relaxed
// loads, valid when the counter was even and unchanged across them. Only
// addresses are kept: nothing is dereferenced or owned.
std::atomic<std::uint64_t> epoch{1};
int watcher = -1;

struct Remembered {
  std::atomic<unsigned int> seq{0};
  std::atomic<std::uint64_t> stamp{0};
  std::atomic<Func*> func{nullptr};
  std::atomic<PyObject*> dict{nullptr};
};
Remembered remembered[kLevelCount];

int on_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  epoch.fetch_add(1);
  return 0;
}

void remember(Remembered& r, std::uint64_t stamp, Func* f, PyObject* dict) noexcept {
  unsigned int seq = r.seq.load(std::memory_order_relaxed);
  if ((seq & 1) || !r.seq.compare_exchange_strong(seq, seq + 1, std::memory_order_relaxed))
    return;
  std::atomic_thread_fence(std::memory_order_release);
  r.stamp.store(stamp, std::memory_order_relaxed);
  r.func.store(f, std::memory_order_relaxed);
  r.dict.store(dict, std::memory_order_relaxed);
  r.seq.store(seq + 2, std::memory_order_release);
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

void start_kwdefaults_memo() noexcept {
  if (watcher >= 0) return;
  watcher = PyDict_AddWatcher(on_event);
  if (watcher < 0) PyErr_Clear();
}

bool kwdefaults_none_remembered(Func* f, int index) noexcept {
  Remembered& r = remembered[index];
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

bool kwdefaults_none_derived(Func* f, int index) noexcept {
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
  if (none && watched == 0) remember(remembered[index], stamp, f, dict.get());
  return none;
}

}  // namespace lm::hot

#endif  // Py_GIL_DISABLED
