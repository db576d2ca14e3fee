// The free-threaded build's memo of classes found fit: what spares each call the class checks.
#include "hot/fit_memo.hpp"

#ifdef Py_GIL_DISABLED

#include <atomic>

namespace lm::hot {

// Why a remembered answer is still true.
//
// A class's version tag is non-zero only while neither the class nor any
// of its bases changed since the tag was given: a change sets it to 0
// (under the type lock, before it stores anything) and tags are never
// given twice, not even to a new class at a freed one's address. An entry
// is made only when the tag read after every lookup is the one read before
// them, so what was looked up belongs to that tag; a call finding the same
// class with the same tag finds the same attributes. The functions found
// and their code are held by the entry: each is alive, and the code a
// function has now is the code checked when its pointer is the one held
// (a function's code can be replaced with no change to the class). The
// file is held too, and compared by identity.
//
// Entries are made whole, then published with a release store into a slot
// of their own; a slot is taken once and an entry never changed or freed,
// so a reader that found one through an acquire load reads all of it. The
// slots are few: once all are taken nothing more is remembered and the
// classes are checked on each call.
struct FitEntry {
  FitKind kind;
  PyTypeObject* type;  // not held: told apart by its tag
  unsigned int tag;
  PyObject* file;  // held (or null), as all below
  int n;
  PyObject* funcs[kFitFuncs];
  PyObject* codes[kFitFuncs];
};

namespace {

constexpr int kSlots = 64;
std::atomic<FitEntry*> slots[kSlots];
std::atomic<int> taken{0};

unsigned int tag_of(PyTypeObject* type) noexcept {
  return _Py_atomic_load_uint32_acquire(&type->tp_version_tag);
}

bool codes_kept(const FitEntry& e) noexcept {
  for (int i = 0; i < e.n; ++i) {
    auto* f = reinterpret_cast<PyFunctionObject*>(e.funcs[i]);
    if (_Py_atomic_load_ptr_relaxed(&f->func_code) != e.codes[i]) return false;
  }
  return true;
}

}  // namespace

const FitEntry* fit_entry(FitKind kind, PyTypeObject* type, PyObject* file) noexcept {
  const unsigned int tag = tag_of(type);
  if (tag == 0) return nullptr;
  const int n = taken.load(std::memory_order_acquire);
  for (int i = (n < kSlots ? n : kSlots) - 1; i >= 0; --i) {
    const FitEntry* e = slots[i].load(std::memory_order_acquire);
    if (e && e->type == type && e->tag == tag && e->kind == kind && e->file == file)
      return codes_kept(*e) ? e : nullptr;
  }
  return nullptr;
}

bool fit_holds(const FitEntry* entry, PyTypeObject* type) noexcept {
  return entry->type == type && tag_of(type) == entry->tag && codes_kept(*entry);
}

bool fit_remembered(FitKind kind, PyTypeObject* type, PyObject* file) noexcept {
  return fit_entry(kind, type, file) != nullptr;
}

void remember_fit(FitKind kind, PyTypeObject* type, unsigned int tag, PyObject* file,
                  FitFound& found) noexcept {
  if (tag == 0 || tag_of(type) != tag) return;
  if (taken.load(std::memory_order_relaxed) >= kSlots) return;
  const int slot = taken.fetch_add(1, std::memory_order_acq_rel);
  if (slot >= kSlots) return;
  auto* e = static_cast<FitEntry*>(PyMem_RawMalloc(sizeof(FitEntry)));
  if (!e) return;  // the slot stays empty: nothing is remembered there
  *e = {kind, type, tag, Py_XNewRef(file), found.n, {}, {}};
  for (int i = 0; i < found.n; ++i) {
    e->funcs[i] = found.funcs[i].release();
    e->codes[i] = found.codes[i].release();
  }
  found.n = 0;
  slots[slot].store(e, std::memory_order_release);
}

}  // namespace lm::hot

#endif  // Py_GIL_DISABLED
