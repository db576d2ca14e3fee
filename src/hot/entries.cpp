// The cached entries of loggers' paths: derived and stored, and checked on each call.
#include "hot/cache.hpp"

#include "hot/checks.hpp"

namespace lm::hot {
namespace {

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

// own_attr with an error cleared: a logger whose attributes cannot be read
// plainly is not cached, and nothing is reported.
Ref plain_attr(PyObject* obj, PyObject* name) noexcept {
  Ref value = own_attr(obj, name);
  if (!value) PyErr_Clear();
  return value;
}

bool exact_bool(PyObject* v) noexcept { return v == Py_True || v == Py_False; }

// Whether `value` is one of the link's recorded attribute values, so that
// the per-call comparison covers it.
bool among_values(const Link& link, PyObject* value) noexcept {
  for (int i = 0; i < link.nvalues; ++i)
    if (link.values[i] == value) return true;
  return false;
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

}  // namespace

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
      // Nothing on the instance shadows logging's methods (an error only
      // leaves the logger uncached).
      if (int r = methods_not_shadowed(current); r <= 0) {
        if (r < 0) PyErr_Clear();
        return fail();
      }
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
  e->watched = dicts_watched;
  for (int k = 0; e->watched && k < e->nlinks; ++k) e->watched = watch_link(e->links[k]);
  if (cache->epoch != stamp) return fail();
  e->stamp = stamp;
  return e;
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

namespace {

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

}  // namespace

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

}  // namespace lm::hot
