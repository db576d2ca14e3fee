// The cache's state and its watchers: the events that move the epoch on, and their self-tests.
#include "hot/cache.hpp"

#include "capi/names.hpp"

namespace lm::hot {

Cache* cache = nullptr;

namespace {

// The watchers and their self-test exist only where the cache can be on.
#ifndef Py_GIL_DISABLED
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++cache->epoch;
  return 0;
}

int on_type_event(PyTypeObject*) noexcept {
  ++cache->epoch;
  return 0;
}

// A function's code, defaults or keyword defaults replaced: the methods of
// the path and LogRecord.__init__ are judged by their code, so any such
// change is an event. Creations and destructions change nothing cached.
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) noexcept {
  if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
      event == PyFunction_EVENT_MODIFY_KWDEFAULTS) {
    ++cache->epoch;
  }
  return 0;
}

// Whether a store made the ordinary way into `obj` reaches the watcher of
// `dict` (obj's namespace).
bool store_seen(PyObject* obj, PyObject* dict) noexcept {
  if (PyDict_Watch(cache->dict_watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  const std::uint64_t before = cache->epoch;
  bool seen = PyObject_SetAttr(obj, N.level, Py_True) == 0 && cache->epoch != before;
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
#endif  // Py_GIL_DISABLED

}  // namespace

#ifndef Py_GIL_DISABLED
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

// Makes the cache and its watchers, once for the process.
//
// The watcher ids are taken once per process (an import that failed and
// is retried reuses them) and are never given back while the module lives:
// the module object is held for the life of the process, and the
// interpreter drops its watchers when it is finalised. A watch lives in the
// watched dict itself and goes with it; freeing a watched dict is an event.
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
  // Function watchers see every function; the id is not needed again.
  const int function_watcher =
      cache->type_watcher < 0 ? -1 : PyFunction_AddWatcher(on_function_event);
  if (function_watcher < 0) {
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

}  // namespace lm::hot
