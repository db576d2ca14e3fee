// The one owner of what the hot paths cache: watchers, epoch, constants and verdicts.
#include "core/skip_cache.hpp"

#include <new>

#include "module/state.hpp"

namespace lm::hot {
namespace {

constexpr int kLevels = 5;
constexpr int kLinks = 4;      // loggers of a propagation chain held per entry
constexpr int kSnapshot = 16;  // attribute values of one logger
constexpr int kEntries = 16;   // loggers with a cached structure
constexpr int kEnabled = 8;    // answers of a logger's level cache
constexpr int kTypes = 8;      // verified classes of each kind

// The derived facts of the module's `logging`: the module itself (exactly
// a module, found in the namespace), its level constants and whether the
// record factory is the default one.
struct Env {
  std::uint64_t stamp = 0;
  Ref module;
  Ref levels[kLevels];
  bool default_factory = false;
};

// Classes found fit, each watched; valid while their stamp is the epoch.
struct TypeSet {
  Ref types[kTypes];
  std::uint64_t stamps[kTypes] = {};
  int next = 0;
};

// One logger of a chain: its class, the values of its own attributes (in
// the order its inline values hold them), its handlers list and whether
// records go on to its parent.
//
// The logger and the values are not owned: an entry must not keep a
// logger's objects alive. A recorded pointer is used only once the same
// pointer has been found among the live values on this call, so it then
// points to the live object. Facts derived from the values' contents are
// either about immortal objects (True, False) or about the level cache,
// which is watched (its deallocation is an event too).
struct Link {
  PyObject* logger = nullptr;
  Ref type;  // classes are held: a verified class must not be replaced unseen
  PyObject* values[kSnapshot] = {};
  int nvalues = 0;
  PyObject* handlers = nullptr;
  bool propagate = false;
};

// The structure of the path from one logger to its handlers, as it was
// when derived; valid while the stamp is the epoch and each link's
// attribute values are still the same objects.
struct Entry {
  std::uint64_t stamp = 0;
  Link links[kLinks];
  int nlinks = 0;
  PyObject* filters = nullptr;  // the first logger's filters list (one of its values)
  bool disabled = false;
  long enabled_levels[kEnabled] = {};
  bool enabled_answers[kEnabled] = {};
  int nenabled = 0;
};

struct KwDefaults {
  std::uint64_t stamp = 0;
  Func* func = nullptr;
  PyObject* dict = nullptr;  // identity only: its deallocation is an event
};

struct Cache {
  int dict_watcher = -1;
  int type_watcher = -1;
  bool on = false;
  std::uint64_t epoch = 1;
  std::uint64_t events = 0;
  Env env;
  KwDefaults kwdefaults[kLevels];
  TypeSet logger_types, handler_types, self_types;
  Entry* entries[kEntries] = {};
  int next_entry = 0;
  int last_entry = 0;  // the one found last: a loop logs through one logger
};

// Allocated once and never freed: its references must not be released by
// static destructors after the interpreter has gone.
Cache* cache = nullptr;

// Objects of the cache live in PyMem, made and destroyed in place: the
// module uses no C++ runtime allocation.
template <class T>
T* make() noexcept {
  void* memory = PyMem_Malloc(sizeof(T));
  return memory ? new (memory) T : nullptr;
}
template <class T>
void destroy(T* p) noexcept {
  if (!p) return;
  p->~T();
  PyMem_Free(p);
}

bool caching() noexcept { return cache && cache->on; }

// The watchers and their self-test exist only where the cache can be on.
#ifndef Py_GIL_DISABLED
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++cache->epoch;
  ++cache->events;
  return 0;
}

int on_type_event(PyTypeObject*) noexcept {
  ++cache->epoch;
  ++cache->events;
  return 0;
}

// --------------------------------------------------------------- self-test

// Whether a store made the ordinary way into `obj` reaches the watcher of
// `dict` (obj's namespace).
bool store_seen(PyObject* obj, PyObject* dict) noexcept {
  if (PyDict_Watch(cache->dict_watcher, dict) < 0) return false;
  const std::uint64_t before = cache->events;
  bool seen = PyObject_SetAttr(obj, N.level, Py_None) == 0 && cache->events != before;
  PyErr_Clear();
  PyDict_Unwatch(cache->dict_watcher, dict);
  PyErr_Clear();
  return seen;
}

// The cache relies on watchers seeing module attribute stores (`logging.X =
// v`, a global rebound): checked once on a module of its own. Instance
// dicts are never watched, so whether an interpreter reports stores into
// inline attribute values (3.13.0 does not) never matters: those
// attributes are checked on each call.
int self_test() noexcept {
  Ref probe_module = Ref::steal(PyModule_New("log_main.watcher_probe"));
  if (!probe_module) return -1;
  PyObject* module_dict = PyModule_GetDict(probe_module.get());
  if (!module_dict) return -1;
  cache->on = store_seen(probe_module.get(), module_dict);
  return 0;
}
#endif  // Py_GIL_DISABLED

// ------------------------------------------------------------------ types

bool in_set(TypeSet& set, PyTypeObject* type) noexcept {
  for (int i = 0; i < kTypes; ++i)
    if (set.types[i].get() == reinterpret_cast<PyObject*>(type) && set.stamps[i] == cache->epoch)
      return true;
  return false;
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
  if (type->tp_as_number && type->tp_as_number->nb_bool) return false;
  if (type->tp_as_mapping && type->tp_as_mapping->mp_length) return false;
  if (type->tp_as_sequence && type->tp_as_sequence->sq_length) return false;
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

// ------------------------------------------------------------ environment

bool env_valid() noexcept {
  const Env& env = cache->env;
  return env.stamp == cache->epoch && Py_IS_TYPE(env.module.get(), &PyModule_Type);
}

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
  PyObject* const names[kLevels] = {N.DEBUG, N.INFO, N.WARNING, N.ERROR, N.CRITICAL};
  Ref levels[kLevels];
  for (int i = 0; i < kLevels; ++i) {
    if (PyDict_GetItemRef(dict, names[i], &found) <= 0) {
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
  for (int i = 0; i < kLevels; ++i) env.levels[i] = std::move(levels[i]);
  env.default_factory = factory == 1;
  env.stamp = stamp;
  return cache->epoch == stamp;
}

// ---------------------------------------------------------------- entries

// Collects a logger's attribute values; stops (returns 1) past kSnapshot.
struct Collect {
  PyObject** out;
  int n;
  bool callable;
};
int collect_value(PyObject* value, void* arg) noexcept {
  auto* c = static_cast<Collect*>(arg);
  if (c->n == kSnapshot) {
    ++c->n;
    return 1;
  }
  if (PyCallable_Check(value)) c->callable = true;
  c->out[c->n++] = value;
  return 0;
}

// Compares a logger's attribute values with those collected.
struct Compare {
  PyObject* const* expected;
  int n;
  int i;
  bool same;
};
int compare_value(PyObject* value, void* arg) noexcept {
  auto* c = static_cast<Compare*>(arg);
  if (c->i == c->n || c->expected[c->i] != value) {
    c->same = false;
    return 1;
  }
  ++c->i;
  return 0;
}

bool unchanged(const Link& link) noexcept {
  PyObject* logger = link.logger;
  if (reinterpret_cast<PyObject*>(Py_TYPE(logger)) != link.type.get()) return false;
  Compare c{link.values, link.nvalues, 0, true};
  PyObject_VisitManagedDict(logger, compare_value, &c);
  return c.same && c.i == c.n;
}

// A value of an attribute the class does not define; empty when missing.
Ref plain_attr(PyObject* obj, PyObject* name) noexcept {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(obj, name, &value) < 0) PyErr_Clear();
  return Ref::steal(value);
}

bool exact_bool(PyObject* v) noexcept { return v == Py_True || v == Py_False; }

// Whether `value` is one of the link's recorded attribute values, so that
// the per-call comparison covers it.
bool among_values(const Link& link, PyObject* value) noexcept {
  for (int i = 0; i < link.nvalues; ++i)
    if (link.values[i] == value) return true;
  return false;
}

// Whether nothing on the instance shadows logging's methods: each found
// through the instance is the class's function bound to it.
bool not_shadowed(PyObject* logger) noexcept {
  for (PyObject* name : {N.log, N.isEnabledFor, N.getEffectiveLevel, N._log, N.findCaller,
                         N.makeRecord, N.handle, N.filter, N.callHandlers}) {
    Ref found = plain_attr(logger, name);
    if (!found || !PyMethod_Check(found.get()) || PyMethod_GET_SELF(found.get()) != logger ||
        PyMethod_GET_FUNCTION(found.get()) != _PyType_Lookup(Py_TYPE(logger), name))
      return false;
  }
  return true;
}

bool derive_link(Link& link, PyObject* logger, std::uint64_t stamp) noexcept {
  PyTypeObject* type = Py_TYPE(logger);
  if (!logger_type_fit(type, stamp)) return false;
  Collect c{link.values, 0, false};
  PyObject_VisitManagedDict(logger, collect_value, &c);
  // One value may be a __dict__ that replaced the inline values: too few
  // values to tell, so no cache. A callable value could be moved under a
  // method's name unseen, so no cache either.
  if (c.n < 2 || c.n > kSnapshot || c.callable) return false;
  link.nvalues = c.n;
  link.logger = logger;
  link.type = Ref::borrow(reinterpret_cast<PyObject*>(type));
  Ref handlers = plain_attr(logger, N.handlers);
  if (!handlers || !PyList_CheckExact(handlers.get()) || !among_values(link, handlers.get()))
    return false;
  link.handlers = handlers.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(link.handlers); ++i)
    if (!handler_type_fit(Py_TYPE(PyList_GET_ITEM(link.handlers, i)))) return false;
  Ref propagate = plain_attr(logger, N.propagate);
  if (!propagate || !exact_bool(propagate.get())) return false;
  link.propagate = propagate.get() == Py_True;
  return true;
}

// Reads the first logger's level cache (an exact dict, watched: any change
// is an event) into the entry.
bool derive_enabled(Entry& e, PyObject* level_cache) noexcept {
  if (!PyDict_CheckExact(level_cache)) return false;
  if (PyDict_Watch(cache->dict_watcher, level_cache) < 0) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(level_cache, &pos, &key, &value)) {
    if (!PyLong_CheckExact(key) || !exact_bool(value)) return false;
    int overflow = 0;
    long lvl = PyLong_AsLongAndOverflow(key, &overflow);
    if (overflow || (lvl == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return false;
    }
    if (e.nenabled == kEnabled) return true;
    e.enabled_levels[e.nenabled] = lvl;
    e.enabled_answers[e.nenabled++] = value == Py_True;
  }
  return true;
}

// Derives the entry of `logger`; a null result means "not cacheable".
Entry* derive_entry(PyObject* logger, std::uint64_t stamp) noexcept {
  Entry* e = make<Entry>();
  if (!e) return nullptr;
  auto fail = [&]() noexcept {
    destroy(e);
    return static_cast<Entry*>(nullptr);
  };
  PyObject* current = logger;
  while (true) {
    if (e->nlinks == kLinks) return fail();
    Link& link = e->links[e->nlinks++];
    if (!derive_link(link, current, stamp)) return fail();
    if (e->nlinks == 1) {
      if (!not_shadowed(current)) return fail();
      Ref filters = plain_attr(current, N.filters);
      if (!filters || !PyList_CheckExact(filters.get()) || !among_values(link, filters.get()))
        return fail();
      e->filters = filters.get();
      Ref disabled = plain_attr(current, N.disabled);
      if (!disabled || !exact_bool(disabled.get())) return fail();
      e->disabled = disabled.get() == Py_True;
      Ref level_cache = plain_attr(current, N._cache);
      if (!level_cache || !among_values(link, level_cache.get()) ||
          !derive_enabled(*e, level_cache.get()))
        return fail();
    }
    if (!link.propagate) break;
    Ref parent = plain_attr(current, N.parent);
    if (!parent || !among_values(link, parent.get())) return fail();
    if (parent.get() == Py_None) break;
    // Checked on each call as one of the child's live values.
    current = parent.get();
  }
  if (cache->epoch != stamp) return fail();
  e->stamp = stamp;
  return e;
}

Entry* find_entry(PyObject* logger) noexcept {
  Entry* last = cache->entries[cache->last_entry];
  if (last && last->stamp == cache->epoch && last->links[0].logger == logger) return last;
  for (int i = 0; i < kEntries; ++i) {
    Entry* e = cache->entries[i];
    if (e && e->stamp == cache->epoch && e->links[0].logger == logger) {
      cache->last_entry = i;
      return e;
    }
  }
  return nullptr;
}

void store_entry(PyObject* logger, Entry* fresh) noexcept {
  int slot = -1;
  for (int i = 0; i < kEntries; ++i)
    if (cache->entries[i] && cache->entries[i]->links[0].logger == logger) slot = i;
  if (slot < 0) {
    slot = cache->next_entry;
    cache->next_entry = (cache->next_entry + 1) % kEntries;
  }
  Entry* old = cache->entries[slot];
  cache->entries[slot] = fresh;
  destroy(old);  // releases references: may run arbitrary code, so it comes last
}

enum class Cached : std::uint8_t { Call, Skip, Unknown };

// The verdict from a cached entry, checking on this call what no watcher
// sees: attribute values of each logger, the filters and handlers lists,
// and each handler's class and level. Reads only; runs no Python code.
Cached from_entry(const Entry& e, long level) noexcept {
  for (int k = 0; k < e.nlinks; ++k)
    if (!unchanged(e.links[k])) return Cached::Unknown;
  if (PyList_GET_SIZE(e.filters) != 0) return Cached::Call;
  if (e.disabled) return Cached::Skip;
  int at = 0;
  while (at < e.nenabled && e.enabled_levels[at] != level) ++at;
  if (at == e.nenabled) return Cached::Unknown;  // isEnabledFor would fill the cache
  if (!e.enabled_answers[at]) return Cached::Skip;
  Py_ssize_t found = 0;
  for (int k = 0; k < e.nlinks; ++k) {
    PyObject* handlers = e.links[k].handlers;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers); ++i) {
      PyObject* handler = PyList_GET_ITEM(handlers, i);
      if (!in_set(cache->handler_types, Py_TYPE(handler))) return Cached::Unknown;
      ++found;
      PyObject* threshold = nullptr;
      // A plain instance attribute (handler_type_fit): nothing runs.
      if (PyObject_GetOptionalAttr(handler, N.level, &threshold) <= 0) {
        PyErr_Clear();
        return Cached::Unknown;
      }
      Ref hold = Ref::steal(threshold);
      if (!PyLong_CheckExact(threshold)) return Cached::Unknown;
      auto* as_long = reinterpret_cast<PyLongObject*>(threshold);
      if (PyUnstable_Long_IsCompact(as_long)) {
        if (PyUnstable_Long_CompactValue(as_long) <= level) return Cached::Call;
        continue;
      }
      int overflow = 0;
      long t = PyLong_AsLongAndOverflow(threshold, &overflow);
      if (overflow < 0 || (!overflow && t <= level)) return Cached::Call;
    }
    if (!e.links[k].propagate) break;
  }
  return found > 0 ? Cached::Skip : Cached::Call;
}

}  // namespace

// ------------------------------------------------------------------ entry points

int start() noexcept {
  if (cache) return 0;
  cache = make<Cache>();
  if (!cache) {
    PyErr_NoMemory();
    return -1;
  }
#ifdef Py_GIL_DISABLED
  return 0;  // free-threaded: the exact path only
#else
  cache->dict_watcher = PyDict_AddWatcher(on_dict_event);
  if (cache->dict_watcher < 0) {
    PyErr_Clear();
    return 0;
  }
  cache->type_watcher = PyType_AddWatcher(on_type_event);
  if (cache->type_watcher < 0) {
    PyErr_Clear();
    return 0;
  }
  if (self_test() < 0) {
    cache->on = false;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (cache->on && PyDict_Watch(cache->dict_watcher, state.ns) < 0) {
    PyErr_Clear();
    cache->on = false;
  }
  return 0;
#endif
}

void forget() noexcept {
  if (cache) ++cache->epoch;
}

Ref level_constant(int index) noexcept {
  if (caching() && (env_valid() || derive_env()))
    return cache->env.levels[index].copy();
  PyObject* const names[kLevels] = {N.DEBUG, N.INFO, N.WARNING, N.ERROR, N.CRITICAL};
  return logging_attr(names[index]);
}

bool kwdefaults_are_none(Func* f, int index) noexcept {
  if (!caching()) return false;
  KwDefaults& k = cache->kwdefaults[index];
  PyObject* dict = f->kwdefaults;
  if (k.stamp == cache->epoch && k.func == f && k.dict == dict) return dict != nullptr;
  const std::uint64_t stamp = cache->epoch;
  if (!dict || !PyDict_CheckExact(dict)) return false;
  Ref hold = Ref::borrow(dict);
  PyObject *args = nullptr, *kwargs = nullptr;
  int r1 = PyDict_GetItemRef(dict, N.args, &args);
  Ref hold_args = Ref::steal(args);
  int r2 = r1 < 0 ? -1 : PyDict_GetItemRef(dict, N.kwargs, &kwargs);
  Ref hold_kwargs = Ref::steal(kwargs);
  if (r1 < 0 || r2 < 0) {
    PyErr_Clear();
    return false;
  }
  if (args != Py_None || kwargs != Py_None) return false;
  if (PyDict_Watch(cache->dict_watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  if (cache->epoch != stamp || f->kwdefaults != dict) return false;
  k = {stamp, f, dict};
  return true;
}

LogTarget log_target(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  const bool known = caching() && in_set(cache->self_types, type);
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
  if (caching() && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT))
    remember(cache->self_types, type, cache->epoch);
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
    switch (from_entry(*e, lvl)) {
      case Cached::Call: return Verdict::Call;
      case Cached::Skip: return Verdict::Skip;
      case Cached::Unknown: break;
    }
  }
  const std::uint64_t stamp = cache->epoch;
  Verdict v = decide_exactly(logger, level, args, kwargs);
  if (v != Verdict::Error && cache->epoch == stamp && env_valid()) {
    if (Entry* fresh = derive_entry(logger, stamp)) store_entry(logger, fresh);
  }
  return v;
}

}  // namespace lm::hot
