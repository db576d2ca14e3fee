// The cached verdict's state (the Cache and its parts) and what the files of the cache share.
#pragma once

#include <cstdint>
#include <new>

#include "capi/levels.hpp"
#include "hot/verdict.hpp"

namespace lm::hot {

// Invariants. Everything cached is stamped with the epoch read before it
// was derived; any event of a watched dict (the module's namespace,
// logging's namespace, the level methods' __kwdefaults__, a logger's level
// cache) or watched type (logger, handler, record and logger-object
// classes) moves the epoch on, so a stamp that differs from the epoch means
// "derive again". Where the interpreter's watchers see stores into inline
// attribute values (3.13.1 and later; the self-test at start decides), the
// __dict__ of the loggers, handlers and logger objects on a cached path is
// made and watched too, and each call checks only what no watcher sees: the
// objects' classes and dicts by identity, the handlers lists' items, the
// filters list's size. Elsewhere (3.13.0) instance dicts are never made or
// watched and what they hold is compared on every call. Without a free
// watcher id, on a free-threaded build, or when the watchers fail the
// self-test, nothing is cached here and every call takes the exact path
// (where the free-threaded build remembers the classes found fit,
// fit_memo.hpp, what a few watched dicts give, dict_memos.hpp, and the
// logger objects whose calls their logger refuses, quick_memo.hpp).
// Nothing cached owns the objects it describes: a pointer is
// followed only once the object is known to be alive on this call (an
// object whose dict was freed moved the epoch on).

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
  Ref levels[kLevelCount];
  long level_values[kLevelCount] = {};  // the same, where each is a small exact int
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

inline bool still(const Watched& w) noexcept {
  return Py_TYPE(w.obj) == w.type && *w.slot == w.dict;
}

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
  int nhandlers = 0;  // how many handlers are watched, once watch_link succeeded
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
  bool on = false;
  std::uint64_t epoch = 1;
  Env env;
  KwDefaults kwdefaults[kKwDefaultsSlots];
  TypeSet logger_types, handler_types, self_types;
  Entry* entries[kEntries] = {};
  int next_entry = 0;
  int last_entry = 0;  // the one found last: a loop logs through one logger
  Self selves[kSelves];
  int next_self = 0;
  int last_self = 0;
};

// Allocated once and never freed: its references must not be released by
// static destructors after the interpreter has gone. Declared hidden, as
// its definition is, so that a read is one load, not one through the
// global offset table.
[[gnu::visibility("hidden")]] extern Cache* cache;

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

// ------------------------------------------- read on each call, so inline

inline bool caching() noexcept { return cache && cache->on; }

// Whether `type` is in the set, found fit under the current epoch.
inline bool in_set(const TypeSet& set, PyTypeObject* type) noexcept {
  for (int i = 0; i < kTypes; ++i)
    if (set.types[i].get() == reinterpret_cast<PyObject*>(type) && set.stamps[i] == cache->epoch)
      return true;
  return false;
}

// Whether the environment derived last still holds.
inline bool env_valid() noexcept {
  const Env& env = cache->env;
  return env.stamp == cache->epoch && Py_IS_TYPE(env.module.get(), &PyModule_Type);
}

// The valid entry of `logger`, or null.
inline Entry* find_entry(PyObject* logger) noexcept {
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

// ---------------------------------------------------------------- watchers.cpp

// Makes the cache and its watchers, once for the process, and runs the
// self-test of module attribute stores.
int make_cache() noexcept;

// Whether a store into an instance's inline attribute values reaches the
// watcher of the __dict__ made for it (not on a free-threaded build).
bool inline_stores_seen() noexcept;

// Makes and watches obj's __dict__ and records where obj keeps it.
bool watch(Watched& w, PyObject* obj) noexcept;

// ------------------------------------------------------------- environment.cpp

// Derives the environment again; false when it cannot be cached.
bool derive_env() noexcept;

// Watches a class found fit and remembers it in the set.
bool remember(TypeSet& set, PyTypeObject* type, std::uint64_t stamp) noexcept;

// A logger class on the path of a cached entry; a handler class whose
// `level` is a plain instance attribute.
bool logger_type_fit(PyTypeObject* type, std::uint64_t stamp) noexcept;
bool handler_type_fit(PyTypeObject* type) noexcept;

// ----------------------------------------------------------------- entries.cpp

// What a cached entry says of a call at `level`; Open only inside entries.cpp.
enum class Cached : std::uint8_t { Call, Skip, Unknown, Open };

// Derives the entry of `logger`; a null result means "not cacheable".
Entry* derive_entry(PyObject* logger, std::uint64_t stamp) noexcept;

// Stores `fresh` as the entry of `logger`, replacing its old one.
void store_entry(PyObject* logger, Entry* fresh) noexcept;

// The verdict from an entry: from_watched where its dicts are watched.
Cached from_cached(const Entry& e, long level) noexcept;
Cached from_watched(const Entry& e, long level) noexcept;

}  // namespace lm::hot
