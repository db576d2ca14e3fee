// The one owner of what the hot paths cache: watchers, epoch, constants and verdicts.
#include "hot/cache.hpp"

#include <new>

#include "process/state.hpp"

namespace lm::hot {
namespace {

constexpr int kLevels = 5;
constexpr int kLinks = 4;      // loggers of a propagation chain held per entry
constexpr int kSnapshot = 16;  // attribute values of one logger
constexpr int kEntries = 16;   // loggers with a cached structure
constexpr int kEnabled = 8;    // answers of a logger's level cache
constexpr int kTypes = 8;      // verified classes of each kind
constexpr int kHandlers = 4;   // handlers of one logger whose levels are kept (watching)
constexpr int kSelves = 16;    // logger objects whose _logger is kept (watching)

// The derived facts of the module's `logging`: the module itself (exactly
// a module, found in the namespace), its level constants and whether the
// record factory is the default one.
struct Env {
  std::uint64_t stamp = 0;
  Ref module;
  Ref levels[kLevels];
  long level_values[kLevels] = {};  // the same, where each is a small exact int
  bool levels_small = false;
  bool default_factory = false;
};

// Classes found fit, each watched; valid while their stamp is the epoch.
struct TypeSet {
  Ref types[kTypes];
  std::uint64_t stamps[kTypes] = {};
  int next = 0;
};

// An object whose __dict__ is watched: it is still that object's when the
// object has that class and that dict in its dict slot. Not owned: read
// only once the object is known to be alive on this call.
struct Watched {
  PyObject* obj = nullptr;
  PyTypeObject* type = nullptr;
  PyObject* dict = nullptr;
  PyObject** slot = nullptr;
};

bool still(const Watched& w) noexcept { return Py_TYPE(w.obj) == w.type && *w.slot == w.dict; }

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
  // Where instance dicts are watched: the logger's __dict__, and each
  // handler with its class, __dict__ and level. A dict is told apart by
  // identity on each call (a __dict__ assigned whole is no event of the
  // old one); what it holds moves the epoch when it changes.
  Watched own;
  int nhandlers = -1;  // -1: the handlers' levels are read on each call
  Watched handler[kHandlers];
  long threshold[kHandlers] = {};
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
  bool watched = false;  // every link's dict and handlers are watched
};

struct KwDefaults {
  std::uint64_t stamp = 0;
  Func* func = nullptr;
  PyObject* dict = nullptr;  // identity only: its deallocation is an event
};

// A logger object and what its _logger held when last read: nullptr for
// None (the object is disabled), else the logging logger.
struct Self {
  std::uint64_t stamp = 0;
  Watched self;
  PyObject* logger = nullptr;
};

struct Cache {
  int dict_watcher = -1;
  int type_watcher = -1;
  int function_watcher = -1;
  bool on = false;
  bool watching = false;  // instance dicts are watched: stores into them are events
  std::uint64_t epoch = 1;
  std::uint64_t events = 0;
  Env env;
  KwDefaults kwdefaults[kLevels];
  TypeSet logger_types, handler_types, self_types;
  Entry* entries[kEntries] = {};
  int next_entry = 0;
  int last_entry = 0;  // the one found last: a loop logs through one logger
  Self selves[kSelves];
  int next_self = 0;
  int last_self = 0;
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

// A function's code, defaults or keyword defaults replaced: the methods of
// the path and LogRecord.__init__ are judged by their code, so any such
// change is an event. Creations and destructions change nothing cached.
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) noexcept {
  if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
      event == PyFunction_EVENT_MODIFY_KWDEFAULTS) {
    ++cache->epoch;
    ++cache->events;
  }
  return 0;
}

// --------------------------------------------------------------- self-test

// Whether a store made the ordinary way into `obj` reaches the watcher of
// `dict` (obj's namespace).
bool store_seen(PyObject* obj, PyObject* dict) noexcept {
  if (PyDict_Watch(cache->dict_watcher, dict) < 0) return false;
  const std::uint64_t before = cache->events;
  bool seen = PyObject_SetAttr(obj, N.level, Py_True) == 0 && cache->events != before;
  PyErr_Clear();
  PyDict_Unwatch(cache->dict_watcher, dict);
  PyErr_Clear();
  return seen;
}

// The cache relies on watchers seeing module attribute stores (`logging.X =
// v`, a global rebound): checked once on a module of its own.
int self_test() noexcept {
  Ref probe_module = Ref::steal(PyModule_New("log_main.watcher_probe"));
  if (!probe_module) return -1;
  PyObject* module_dict = PyModule_GetDict(probe_module.get());
  if (!module_dict) return -1;
  cache->on = store_seen(probe_module.get(), module_dict);
  return 0;
}

// Whether a store into an instance's inline attribute values reaches the
// watcher of the __dict__ made for it: 3.13.0 misses such stores, later
// 3.13 releases report them. Only then are instance dicts watched.
bool inline_stores_seen() noexcept {
  Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                             "watcher_probe", &PyBaseObject_Type));
  Ref obj = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref{};
  if (!obj || PyObject_SetAttr(obj.get(), N.level, Py_None) < 0) {
    PyErr_Clear();
    return false;
  }
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
  if (!dict) {
    PyErr_Clear();
    return false;
  }
  return store_seen(obj.get(), dict.get());
}
#endif  // Py_GIL_DISABLED

// Makes and watches obj's __dict__ and records where obj keeps it.
bool watch(Watched& w, PyObject* obj) noexcept {
  if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return false;
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  PyObject** slot = dict ? _PyObject_GetDictPtr(obj) : nullptr;
  if (!slot || *slot != dict.get() || !PyDict_CheckExact(dict.get()) ||
      PyDict_Watch(cache->dict_watcher, dict.get()) < 0) {
    PyErr_Clear();
    return false;
  }
  w = {obj, Py_TYPE(obj), dict.get(), slot};  // the object holds the dict
  return true;
}

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
  env.levels_small = true;
  for (int i = 0; i < kLevels; ++i) {
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

// Where instance dicts are watched: watches the logger's and its handlers'
// dicts and keeps each handler's level; false leaves the link to be
// checked value by value on each call.
bool watch_link(Link& link) noexcept {
  const Py_ssize_t n = PyList_GET_SIZE(link.handlers);
  if (n > kHandlers || !watch(link.own, link.logger)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* handler = PyList_GET_ITEM(link.handlers, i);
    if (!watch(link.handler[i], handler)) return false;
    Ref level = plain_attr(handler, N.level);  // a plain attribute: runs nothing
    auto* as_long = reinterpret_cast<PyLongObject*>(level.get());
    if (!level || !PyLong_CheckExact(level.get()) || !PyUnstable_Long_IsCompact(as_long))
      return false;
    link.threshold[i] = static_cast<long>(PyUnstable_Long_CompactValue(as_long));
  }
  link.nhandlers = static_cast<int>(n);
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
  e->watched = cache->watching;
  for (int k = 0; e->watched && k < e->nlinks; ++k) e->watched = watch_link(e->links[k]);
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

enum class Cached : std::uint8_t { Call, Skip, Unknown, Open };

// What the first logger decides by itself: Call when it has filters, Skip
// when it is disabled or not enabled for the level, Unknown when its level
// cache has no answer yet (isEnabledFor would fill it), else Open: the
// handlers decide.
Cached first_logger_says(const Entry& e, long level) noexcept {
  if (PyList_GET_SIZE(e.filters) != 0) return Cached::Call;
  if (e.disabled) return Cached::Skip;
  int at = 0;
  while (at < e.nenabled && e.enabled_levels[at] != level) ++at;
  if (at == e.nenabled) return Cached::Unknown;
  return e.enabled_answers[at] ? Cached::Open : Cached::Skip;
}

// The verdict from a cached entry, checking on this call what no watcher
// sees: attribute values of each logger, the filters and handlers lists,
// and each handler's class and level. Reads only; runs no Python code.
Cached from_entry(const Entry& e, long level) noexcept {
  for (int k = 0; k < e.nlinks; ++k)
    if (!unchanged(e.links[k])) return Cached::Unknown;
  if (Cached gate = first_logger_says(e, level); gate != Cached::Open) return gate;
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

// The verdict from an entry whose dicts are watched: what they hold is
// covered by the epoch, so this call checks only what no watcher sees:
// each object's class and dict (identity), the handlers lists' items and
// the filters list's size. Reads only; runs no Python code.
[[gnu::noinline]] Cached from_watched(const Entry& e, long level) noexcept {
  for (int k = 0; k < e.nlinks; ++k) {
    const Link& link = e.links[k];
    // Alive: the first logger is the caller's, each parent a value of its
    // child's unchanged dict, the handlers items of a list held there.
    if (!still(link.own)) return Cached::Unknown;
    if (PyList_GET_SIZE(link.handlers) != link.nhandlers) return Cached::Unknown;
    for (int i = 0; i < link.nhandlers; ++i)
      if (PyList_GET_ITEM(link.handlers, i) != link.handler[i].obj || !still(link.handler[i]))
        return Cached::Unknown;
  }
  if (Cached gate = first_logger_says(e, level); gate != Cached::Open) return gate;
  int found = 0;
  for (int k = 0; k < e.nlinks; ++k) {
    for (int i = 0; i < e.links[k].nhandlers; ++i, ++found)
      if (e.links[k].threshold[i] <= level) return Cached::Call;
    if (!e.links[k].propagate) break;
  }
  return found > 0 ? Cached::Skip : Cached::Call;
}

Cached from_cached(const Entry& e, long level) noexcept {
  return e.watched ? from_watched(e, level) : from_entry(e, level);
}

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

// ------------------------------------------------------------------ entry points

bool dicts_watched = false;

namespace {

// Makes the cache and its watchers, once for the process.
int make_cache() noexcept {
  cache = make<Cache>();
  if (!cache) {
    PyErr_NoMemory();
    return -1;
  }
#ifdef Py_GIL_DISABLED
  return 0;  // free-threaded: the exact path only
#else
  cache->dict_watcher = PyDict_AddWatcher(on_dict_event);
  cache->type_watcher = cache->dict_watcher < 0 ? -1 : PyType_AddWatcher(on_type_event);
  cache->function_watcher =
      cache->type_watcher < 0 ? -1 : PyFunction_AddWatcher(on_function_event);
  if (cache->function_watcher < 0) {
    PyErr_Clear();
    return 0;
  }
  if (self_test() < 0) {
    cache->on = false;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
  }
  return 0;
#endif
}

}  // namespace

int start() noexcept {
  if (!cache && make_cache() < 0) return -1;
#ifndef Py_GIL_DISABLED
  // The namespace of this module object (a failed import may have made an
  // earlier one).
  if (cache->on && PyDict_Watch(cache->dict_watcher, state.ns) < 0) {
    PyErr_Clear();
    cache->on = false;
  }
  cache->watching = cache->on && inline_stores_seen();
  dicts_watched = cache->watching;
#endif
  return 0;
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
  if (!caching() || !cache->watching || !in_set(cache->self_types, Py_TYPE(self))) return;
  const bool disabled = logger == Py_None;
  if (!disabled && !in_set(cache->logger_types, Py_TYPE(logger))) return;
  Self* s = find_self(self);
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
}

Quick quick(PyObject* self, int level_index) noexcept {
  if (!cache || !cache->watching) return Quick::Unknown;
  Self* s = find_self(self);
  if (!s || s->stamp != cache->epoch || !still(s->self)) return Quick::Unknown;
  if (!s->logger) return Quick::Disabled;
  // _logger is a value of self's unchanged dict, so still alive.
  const Env& env = cache->env;
  if (!env_valid() || !env.default_factory || !env.levels_small) return Quick::Unknown;
  Entry* e = find_entry(s->logger);
  if (!e || !e->watched) return Quick::Unknown;
  return from_watched(*e, env.level_values[level_index]) == Cached::Skip ? Quick::Skip
                                                                         : Quick::Unknown;
}

}  // namespace lm::hot
