// The hot path's entry points: the verdict, the quick answer, and what the level methods read through the cache.
#include "hot/cache.hpp"

#include "hot/checks.hpp"
#include "hot/exact.hpp"
#include "hot/fit_memo.hpp"
#include "hot/dict_memos.hpp"
#include "hot/quick_memo.hpp"
#include "process/state.hpp"

namespace lm::hot {

bool dicts_watched = false;

#ifndef Py_GIL_DISABLED
namespace {

// Where logger object `self` and its _logger are remembered, or null.
Self* find_self(PyObject* self) noexcept {
  Self* last = &cache->selves[cache->last_self];
  if (last->self.obj == self) return last;
  for (int i = 0; i < kSelves; ++i) {
    if (cache->selves[i].self.obj == self) {
      cache->last_self = i;
      return &cache->selves[i];
    }
  }
  return nullptr;
}

}  // namespace
#endif

int start() noexcept {
  if (!cache && make_cache() < 0) return -1;
#ifdef Py_GIL_DISABLED
  start_kwdefaults_memo();
  dicts_watched = start_quick_memo();
#else
  // The namespace of this module object (a failed import may have made an
  // earlier one).
  if (cache->on && PyDict_Watch(cache->dict_watcher, state.ns) < 0) {
    PyErr_Clear();
    cache->on = false;
  }
  dicts_watched = cache->on && inline_stores_seen();
#endif
  return 0;
}

void forget() noexcept {
#ifdef Py_GIL_DISABLED
  move_memo_epoch();
#endif
  if (cache) ++cache->epoch;
}

Ref level_constant(int index) noexcept {
#ifdef Py_GIL_DISABLED
  if (PyObject* level = level_constant_remembered(index)) return Ref::borrow(level);
  remember_level_constants();
#endif
  if (caching() && (env_valid() || derive_env()))
    return cache->env.levels[index].copy();
  return logging_attr(level_constant_name(index));
}

#ifndef Py_GIL_DISABLED
namespace {

// Whether `dict` (an exact dict) gives args=None and kwargs=None; an error
// is only a doubt.
bool args_kwargs_none(PyObject* dict) noexcept {
  PyObject *args = nullptr, *kwargs = nullptr;
  int r1 = PyDict_GetItemRef(dict, N.args, &args);
  Ref hold_args = Ref::steal(args);
  int r2 = r1 < 0 ? -1 : PyDict_GetItemRef(dict, N.kwargs, &kwargs);
  Ref hold_kwargs = Ref::steal(kwargs);
  if (r1 < 0 || r2 < 0) PyErr_Clear();
  return args == Py_None && kwargs == Py_None;
}

// Without the cache: f's __kwdefaults__ read now (the binder's snapshot).
bool live_kwdefaults_none(Func* f) noexcept {
  Ref dict = snapshot(f).kwdefaults;
  return dict && PyDict_CheckExact(dict.get()) && args_kwargs_none(dict.get());
}

}  // namespace
#endif

bool kwdefaults_are_none(Func* f, int slot) noexcept {
#ifdef Py_GIL_DISABLED
  return kwdefaults_none_remembered(f, slot) || kwdefaults_none_derived(f, slot);
#else
  if (!caching()) return live_kwdefaults_none(f);
  KwDefaults& k = cache->kwdefaults[slot];
  PyObject* dict = f->kwdefaults;
  if (k.stamp == cache->epoch && k.func == f && k.dict == dict) return dict != nullptr;
  const std::uint64_t stamp = cache->epoch;
  if (!dict || !PyDict_CheckExact(dict)) return false;
  Ref hold = Ref::borrow(dict);
  if (!args_kwargs_none(dict)) return false;
  if (PyDict_Watch(cache->dict_watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  if (cache->epoch != stamp || f->kwdefaults != dict) return false;
  k = {stamp, f, dict};
  return true;
#endif
}

namespace {

// Whether self's class is known to reach _LogBase._log and to leave
// _logger to the instance dict: watched by the cache, or, on the
// free-threaded build, remembered with its version tag.
bool self_type_known(PyTypeObject* type) noexcept {
#ifdef Py_GIL_DISABLED
  return fit_remembered(FitKind::Self, type, nullptr);
#else
  return caching() && in_set(cache->self_types, type);
#endif
}

// The version tag the class has before anything is looked up on it (only
// the free-threaded build reads it).
unsigned int tag_before(PyTypeObject* type) noexcept {
#ifdef Py_GIL_DISABLED
  return _Py_atomic_load_uint32_acquire(&type->tp_version_tag);
#else
  (void)type;
  return 0;
#endif
}

void remember_self_type(PyTypeObject* type, unsigned int tag) noexcept {
#ifdef Py_GIL_DISABLED
  FitFound nothing;
  remember_fit(FitKind::Self, type, tag, nullptr, nothing);
#else
  (void)tag;
  if (caching()) remember(cache->self_types, type, cache->epoch);
#endif
}

}  // namespace

LogTarget log_target(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  const unsigned int tag = tag_before(type);
  const bool known = self_type_known(type);
  if (!known) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return {LogTarget::How::Method, {}};
    if (_PyType_Lookup(type, N._log) != state.log_func) return {LogTarget::How::Method, {}};
    if (type->tp_dictoffset == 0) return {LogTarget::How::Direct, {}};
  }
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) return {LogTarget::How::Error, {}};
  int shadowed = PyDict_Contains(dict.get(), N._log);
  if (shadowed != 0) return {shadowed < 0 ? LogTarget::How::Error : LogTarget::How::Method, {}};
  if (known) return {LogTarget::How::Direct, std::move(dict)};
  // self._logger comes from the instance dict only when the class has no
  // attribute of that name.
  if (_PyType_Lookup(type, N._logger)) return {LogTarget::How::Direct, {}};
  if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) remember_self_type(type, tag);
  return {LogTarget::How::Direct, std::move(dict)};
}

Verdict verdict(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept {
  if (!caching() || !PyLong_CheckExact(level)) return decide_exactly(logger, level, args, kwargs);
  if (arguments_inspected(args, kwargs)) return Verdict::Call;
  int overflow = 0;
  const long lvl = PyLong_AsLongAndOverflow(level, &overflow);
  if (overflow) return Verdict::Call;
  if (!env_valid() && !derive_env()) return decide_exactly(logger, level, args, kwargs);
  if (!cache->env.default_factory) return Verdict::Call;
  if (Entry* e = find_entry(logger)) {
    switch (from_cached(*e, lvl)) {
      case Cached::Call: return Verdict::Call;
      case Cached::Skip: return Verdict::Skip;
      case Cached::Unknown:
      case Cached::Open: break;
    }
  }
  const std::uint64_t stamp = cache->epoch;
  Verdict v = decide_exactly(logger, level, args, kwargs);
  if (v != Verdict::Error && cache->epoch == stamp && env_valid()) {
    if (Entry* fresh = derive_entry(logger, stamp)) store_entry(logger, fresh);
  }
  return v;
}

void remember_self(PyObject* self, PyObject* dict, PyObject* logger) noexcept {
#ifdef Py_GIL_DISABLED
  remember_quick(self, dict, logger);
#else
  if (!dicts_watched || !in_set(cache->self_types, Py_TYPE(self))) return;
  const bool disabled = logger == Py_None;
  if (!disabled && !in_set(cache->logger_types, Py_TYPE(logger))) return;
  Self* s = find_self(self);
  // Still current with this very dict: it was watched all along, so
  // _logger holds what was recorded.
  if (s && s->stamp == cache->epoch && s->self.dict == dict && still(s->self)) return;
  if (!s) {
    s = &cache->selves[cache->next_self];
    cache->last_self = cache->next_self;
    cache->next_self = (cache->next_self + 1) % kSelves;
  }
  const std::uint64_t stamp = cache->epoch;
  s->stamp = 0;
  if (!watch(s->self, self) || s->self.dict != dict || cache->epoch != stamp) return;
  s->logger = disabled ? nullptr : logger;
  s->stamp = stamp;
#endif
}

Quick quick(PyObject* self, int level_index) noexcept {
#ifdef Py_GIL_DISABLED
  return quick_remembered(self, level_index);
#else
  if (!dicts_watched) return Quick::Unknown;
  Self* s = find_self(self);
  if (!s || s->stamp != cache->epoch || !still(s->self)) return Quick::Unknown;
  // Even a disabled object reads logging's level constant: only a cached
  // one is known to read nothing.
  if (!env_valid()) return Quick::Unknown;
  if (!s->logger) return Quick::Disabled;
  // _logger is a value of self's unchanged dict, so still alive.
  const Env& env = cache->env;
  if (!env.default_factory || !env.levels_small) return Quick::Unknown;
  Entry* e = find_entry(s->logger);
  if (!e || !e->watched) return Quick::Unknown;
  return from_watched(*e, env.level_values[level_index]) == Cached::Skip ? Quick::Skip
                                                                         : Quick::Unknown;
#endif
}

}  // namespace lm::hot
