// The free-threaded build's memo of logger objects: a level call that a disabled object or its logger refuses, answered from what watched dicts gave.
#include "hot/quick_memo.hpp"

#ifdef Py_GIL_DISABLED

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "capi/call.hpp"
#include "capi/levels.hpp"
#include "capi/names.hpp"
#include "hot/checks.hpp"
#include "hot/dict_memos.hpp"
#include "hot/fit_memo.hpp"
#include "process/state.hpp"

namespace lm::hot {
namespace {

// Why a remembered answer is still true.
//
// A memo answers only for levels the logger refuses (it is disabled, or
// its level cache says no) and for an object that is disabled. There
// Logger.log ends in isEnabledFor, before its filters, the record factory
// or any handler is read, so none of them is remembered.
//
// A memo is derived after reading the epoch (dict_memos.hpp), and every
// dict it depends on is watched and then read under that dict's lock: this
// object's __dict__ (its _logger), this module's namespace (its logging),
// logging's namespace (the level constants, through their own memo under
// the same epoch, dict_memos.hpp), the logger's __dict__
// (disabled, _cache, no instance attribute shadowing a method of
// Logger.log's path) and the logger's level cache. The interpreter calls a
// dict watcher before the store it announces while the writer holds the
// dict's lock, so a store after the read moves the epoch on and a store
// before it was read: a memo never carries an epoch newer than the values
// it was derived from. Freeing a watched dict is an event too.
//
// What no watcher sees is checked on each call, read now: each object's
// class (by the entry that remembers it fit, fit_memo.hpp: same class, same
// version tag, same code), its __dict__ by identity (a __dict__ assigned
// whole is no event of the old one) and the module's class.
//
// What a call reads stays readable. Under the memo's epoch each object it
// names is held by a watched dict that has not changed: self is the
// caller's, the logger a value of self's __dict__, the module a value of
// this module's namespace. An object freed after the epoch was read is
// freed during this call, and the interpreter returns the memory of objects
// only once every thread has passed a quiescent state, which this call,
// attached and running no Python code, does not. A class is read only once
// it is found as the class of such an object.
//
// Memos are written whole under a sequence counter (odd while written) and
// copied out with relaxed loads, valid when the counter was even and
// unchanged across the copy: a reader never follows a torn pointer.
// Nothing is owned, and a call that finds its memo writes nothing, so
// threads calling through one object share its memo's cache line only for
// reading.

constexpr int kMemos = 64;  // logger objects remembered, two places per address
// Where an object with a managed __dict__ keeps it on this build: the word
// before the object.
constexpr Py_ssize_t kDictOffset = -static_cast<Py_ssize_t>(sizeof(PyObject*));

// What a level answers once the checks pass.
enum Answer : std::uint8_t { kUnknown, kSkip };

// An object with a managed __dict__, still itself while its class is the
// one `fit` remembers fit and that dict is in its dict slot.
struct Shape {
  PyObject* obj;
  PyTypeObject* type;
  PyObject* dict;
  const FitEntry* fit;
};

struct Memo {
  std::uint64_t stamp;
  std::uintptr_t failed;  // derived under `stamp` without success: nothing is known
  Shape self;
  PyObject* module;
  PyObject* logger;  // null: self is disabled (_logger is None)
  Shape lg;
  std::uint8_t answer[8];
};
static_assert(std::is_trivially_copyable_v<Memo> && kLevelCount <= 8);
constexpr std::size_t kWords = (sizeof(Memo) + sizeof(std::uintptr_t) - 1) / sizeof(std::uintptr_t);

struct Slot {
  std::atomic<unsigned int> seq{0};
  std::atomic<std::uintptr_t> words[kWords] = {};
};
Slot slots[kMemos];

// The copy of a slot's memo, false when a writer was at it.
bool read(const Slot& s, Memo& out) noexcept {
  const unsigned int seq = s.seq.load(std::memory_order_acquire);
  if (seq & 1) return false;
  std::uintptr_t words[kWords];
  for (std::size_t i = 0; i < kWords; ++i) words[i] = s.words[i].load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (s.seq.load(std::memory_order_relaxed) != seq) return false;
  std::memcpy(&out, words, sizeof(Memo));
  return true;
}

void write(Slot& s, const Memo& m) noexcept {
  std::uintptr_t words[kWords] = {};
  std::memcpy(words, &m, sizeof(Memo));
  unsigned int was;
  if (!begin_write(s.seq, was)) return;
  for (std::size_t i = 0; i < kWords; ++i) s.words[i].store(words[i], std::memory_order_relaxed);
  end_write(s.seq, was);
}

// The first of the two places of `obj`.
std::size_t place(PyObject* obj) noexcept {
  const auto bits = reinterpret_cast<std::uintptr_t>(obj) >> 4;
  return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 58) & ~std::size_t{1};
}

// The memo of `self` under epoch `now`, copied into `m`.
bool find(PyObject* self, std::uint64_t now, Memo& m) noexcept {
  const std::size_t at = place(self);
  for (std::size_t i = at; i < at + 2; ++i)
    if (read(slots[i], m) && m.stamp == now && m.self.obj == self && !m.failed) return true;
  return false;
}

PyObject** dict_slot(PyObject* obj) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + kDictOffset);
}

bool holds(const Shape& s) noexcept {
  auto* type = static_cast<PyTypeObject*>(_Py_atomic_load_ptr_relaxed(&s.obj->ob_type));
  return type == s.type && fit_holds(s.fit, type) &&
         _Py_atomic_load_ptr_relaxed(dict_slot(s.obj)) == s.dict;
}

}  // namespace

Quick quick_remembered(PyObject* self, int level_index) noexcept {
  Memo m;
  if (!find(self, memo_epoch(), m) || !holds(m.self)) return Quick::Unknown;
  if (_Py_atomic_load_ptr_relaxed(&m.module->ob_type) != &PyModule_Type) return Quick::Unknown;
  if (!m.logger) return Quick::Disabled;
  return m.answer[level_index] == kSkip && holds(m.lg) ? Quick::Skip : Quick::Unknown;
}

namespace {

// A name to read from a watched dict, and what it gave (empty: absent).
struct Wanted {
  PyObject* name;
  Ref value;
};

// Watches `dict` (an exact dict), then hands each of its items to `visit`
// under its lock, until `visit` says false. False when it cannot be
// watched or `visit` said false. `visit` runs no Python code.
template <class Visit>
bool scan_watched(PyObject* dict, Visit&& visit) noexcept {
  if (!dict || !PyDict_CheckExact(dict)) return false;
  bool ok = true;
  Py_BEGIN_CRITICAL_SECTION(dict);
  ok = memo_watch(dict);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (ok && PyDict_Next(dict, &pos, &key, &value)) ok = visit(key, value);
  Py_END_CRITICAL_SECTION();
  return ok;
}

// Reads the wanted names from `dict`, watched. False as scan_watched, and
// when a key is not an exact str or is one `refused` names.
template <int N>
bool read_watched(PyObject* dict, Wanted (&wanted)[N], bool (*refused)(PyObject*)) noexcept {
  return scan_watched(dict, [&](PyObject* key, PyObject* value) noexcept {
    if (!PyUnicode_CheckExact(key) || (refused && refused(key))) return false;
    const Py_hash_t hash = PyObject_Hash(key);  // an exact str's: kept in it
    for (Wanted& w : wanted)
      if (key == w.name || (hash == PyObject_Hash(w.name) && PyUnicode_Compare(key, w.name) == 0))
        w.value = Ref::borrow(value);
    return true;
  });
}

// The answers of the level cache `cache` for each level value: whether it
// holds False for it. Read, watched; false when a key is not an exact int
// (a key equal to a level would answer for it).
bool read_level_cache(PyObject* cache, const long (&levels)[kLevelCount],
                      bool (&refused)[kLevelCount]) noexcept {
  return scan_watched(cache, [&](PyObject* key, PyObject* value) noexcept {
    auto* as_long = reinterpret_cast<PyLongObject*>(key);
    if (!PyLong_CheckExact(key) || !PyUnstable_Long_IsCompact(as_long)) return false;
    const auto level = static_cast<long>(PyUnstable_Long_CompactValue(as_long));
    for (int i = 0; i < kLevelCount; ++i)
      if (levels[i] == level && value == Py_False) refused[i] = true;
    return true;
  });
}

// Records `obj` with its own __dict__ `dict` and the entry of its class.
bool shape_of(Shape& s, PyObject* obj, PyObject* dict, const FitEntry* fit) noexcept {
  if (!fit || !(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return false;
  PyObject** slot = _PyObject_GetDictPtr(obj);
  if (slot != dict_slot(obj) || _Py_atomic_load_ptr_relaxed(slot) != dict) return false;
  s = {obj, Py_TYPE(obj), dict, fit};
  return true;
}

// This module's `logging` (recorded in the memo and held in `module_held`)
// and its level constants, as the constants' memo remembers them under
// `stamp`.
bool derive_logging(Memo& m, std::uint64_t stamp, long (&levels)[kLevelCount], Ref& module_held,
                    Ref& file) noexcept {
  Wanted ns[] = {{N.logging, {}}};
  if (!read_watched(state.ns, ns, nullptr) || !ns[0].value) return false;
  module_held = std::move(ns[0].value);
  PyObject* module = module_held.get();
  if (!PyModule_CheckExact(module)) return false;
  if (!level_values_at(stamp, module, levels)) {
    remember_level_constants();
    if (!level_values_at(stamp, module, levels)) return false;
  }
  file = Ref::steal(PyModule_GetFilenameObject(module));
  m.module = module;  // held by this module's namespace, watched
  return static_cast<bool>(file);
}

// The logger's class and what its __dict__ and level cache say of each level.
bool derive_logger(Memo& m, PyObject* logger, const long (&levels)[kLevelCount],
                   PyObject* file) noexcept {
  PyTypeObject* type = Py_TYPE(logger);
  if (!truth_runs_nothing(type) || !logger_type_untouched(type, m.module)) return false;
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict || !shape_of(m.lg, logger, dict.get(), fit_entry(FitKind::Logger, type, file)))
    return false;
  Wanted own[] = {{N.disabled, {}}, {N._cache, {}}};
  if (!read_watched(dict.get(), own, names_path_method)) return false;
  PyObject* disabled = own[0].value.get();
  if (disabled != Py_True && disabled != Py_False) return false;
  bool refused[kLevelCount] = {};
  if (disabled == Py_False &&
      (!own[1].value || !read_level_cache(own[1].value.get(), levels, refused)))
    return false;
  for (int i = 0; i < kLevelCount; ++i)
    m.answer[i] = disabled == Py_True || refused[i] ? kSkip : kUnknown;
  m.logger = logger;  // a value of self's __dict__, watched
  return true;
}

bool derive(Memo& m, std::uint64_t stamp, PyObject* self, PyObject* dict,
            PyObject* logger) noexcept {
  if (!shape_of(m.self, self, dict, fit_entry(FitKind::Self, Py_TYPE(self), nullptr)))
    return false;
  Wanted own[] = {{N._logger, {}}};
  if (!read_watched(dict, own, nullptr) || own[0].value.get() != logger) return false;
  long levels[kLevelCount];
  Ref module, file;
  if (!derive_logging(m, stamp, levels, module, file)) return false;
  return logger == Py_None || derive_logger(m, logger, levels, file.get());
}

// Whether `m` is what a derivation for self under `stamp` would give again
// (self unchanged since), so that none is needed.
bool current(const Memo& m, PyObject* self, std::uint64_t stamp) noexcept {
  return m.stamp == stamp && m.self.obj == self && (m.failed || holds(m.self));
}

}  // namespace

void remember_quick(PyObject* self, PyObject* dict, PyObject* logger) noexcept {
  const std::uint64_t stamp = memo_epoch();
  const std::size_t at = place(self);
  Memo seen[2];
  bool valid[2];
  for (int i = 0; i < 2; ++i) {
    valid[i] = read(slots[at + i], seen[i]);
    if (valid[i] && current(seen[i], self, stamp)) return;
  }
  // Self's own place, else one whose memo is out of date, else the first.
  std::size_t to = at;
  for (int i = 0; i < 2; ++i)
    if (valid[i] && (seen[i].self.obj == self || seen[i].stamp != stamp)) to = at + i;
  Memo m{};
  if (!derive(m, stamp, self, dict, logger)) {
    PyErr_Clear();
    m = Memo{};
    m.failed = 1;
  }
  m.stamp = stamp;
  m.self.obj = self;
  write(slots[to], m);
}

bool start_quick_memo() noexcept {
  Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                             "watcher_probe", &PyBaseObject_Type));
  Ref obj = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref{};
  Ref dict = obj && PyObject_SetAttr(obj.get(), N.level, Py_None) == 0
                 ? Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr))
                 : Ref{};
  bool watched = false;
  if (dict) {
    Py_BEGIN_CRITICAL_SECTION(dict.get());
    watched = memo_watch(dict.get());
    Py_END_CRITICAL_SECTION();
  }
  const std::uint64_t before = memo_epoch();
  const bool seen = watched && PyObject_SetAttr(obj.get(), N.level, Py_True) == 0 &&
                    memo_epoch() != before;
  PyErr_Clear();
  return seen;
}

}  // namespace lm::hot

#endif  // Py_GIL_DISABLED
