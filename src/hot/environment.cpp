// The cache's environment (logging, its level constants, the record factory) and its classes found fit.
#include "hot/cache.hpp"

#include "hot/checks.hpp"
#include "process/state.hpp"

namespace lm::hot {

// Derives the environment again; false when it cannot be cached (the
// callers then read everything the exact way).
bool derive_env() noexcept {
  const std::uint64_t stamp = cache->epoch;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(state.ns, N.logging, &found) <= 0) {
    PyErr_Clear();
    return false;
  }
  Ref module = Ref::steal(found);
  if (!PyModule_CheckExact(module.get())) return false;
  PyObject* dict = PyModule_GetDict(module.get());
  Ref levels[kLevelCount];
  for (int i = 0; i < kLevelCount; ++i) {
    if (PyDict_GetItemRef(dict, level_constant_name(i), &found) <= 0) {
      PyErr_Clear();
      return false;
    }
    levels[i] = Ref::steal(found);
  }
  int factory = default_record_factory(module.get());
  if (factory < 0) {
    PyErr_Clear();
    return false;
  }
  if (factory) {
    PyObject* record = nullptr;
    if (PyDict_GetItemRef(dict, N.LogRecord, &record) <= 0) {
      PyErr_Clear();
      return false;
    }
    Ref hold = Ref::steal(record);
    if (PyType_Watch(cache->type_watcher, record) < 0) {
      PyErr_Clear();
      return false;
    }
  }
  if (PyDict_Watch(cache->dict_watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  if (cache->epoch != stamp) return false;
  Env& env = cache->env;
  env.stamp = 0;  // not valid while its references are replaced
  env.module = std::move(module);
  env.levels_small = true;
  for (int i = 0; i < kLevelCount; ++i) {
    auto* level = reinterpret_cast<PyLongObject*>(levels[i].get());
    const bool small = PyLong_CheckExact(levels[i].get()) && PyUnstable_Long_IsCompact(level);
    env.level_values[i] = small ? static_cast<long>(PyUnstable_Long_CompactValue(level)) : 0;
    env.levels_small = env.levels_small && small;
    env.levels[i] = std::move(levels[i]);
  }
  env.default_factory = factory == 1;
  env.stamp = stamp;
  return cache->epoch == stamp;
}

// Watches a class found fit (its version tag is assigned, so that any
// change to it or its bases reaches the watcher) and remembers it.
bool remember(TypeSet& set, PyTypeObject* type, std::uint64_t stamp) noexcept {
  if (!version_tagged(type)) return false;
  if (PyType_Watch(cache->type_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();
    return false;
  }
  if (cache->epoch != stamp) return false;
  int slot = set.next;
  set.next = (set.next + 1) % kTypes;
  Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
  set.stamps[slot] = stamp;
  set.types[slot] = std::move(held);  // may release a class: the last step
  return true;
}

// A logger class on the path of a cached entry: logging's own methods, the
// attributes read the ordinary way, always true, a managed __dict__.
bool logger_type_fit(PyTypeObject* type, std::uint64_t stamp) noexcept {
  if (in_set(cache->logger_types, type)) return true;
  if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return false;
  if (!truth_runs_nothing(type)) return false;
  if (!logger_type_untouched(type, cache->env.module.get())) return false;
  return remember(cache->logger_types, type, stamp);
}

// A handler class whose `level` is a plain instance attribute: reading it
// runs nothing.
bool handler_type_fit(PyTypeObject* type) noexcept {
  if (in_set(cache->handler_types, type)) return true;
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  if (_PyType_Lookup(type, N.level)) return false;
  return remember(cache->handler_types, type, cache->epoch);
}

}  // namespace lm::hot
