// Whether a record would be seen by nobody, so that the log call can be skipped.
#include "core/fast_path.hpp"

#include <array>
#include <initializer_list>

#include "module/state.hpp"

namespace lm {
namespace {

// The methods that Logger.log reaches, in the order it reaches them, with
// the qualified names they have in logging's source.
struct PathMethod {
  PyObject* name;
  const char* qualname;
};
std::array<PathMethod, 9> path_methods() noexcept {
  return {{
      {N.log, "Logger.log"},
      {N.isEnabledFor, "Logger.isEnabledFor"},
      {N.getEffectiveLevel, "Logger.getEffectiveLevel"},
      {N._log, "Logger._log"},
      {N.findCaller, "Logger.findCaller"},
      {N.makeRecord, "Logger.makeRecord"},
      {N.handle, "Logger.handle"},
      {N.filter, "Filterer.filter"},
      {N.callHandlers, "Logger.callHandlers"},
  }};
}

// Whether `fn` is a plain function compiled from logging's own source, with
// the given qualified name.
bool is_logging_function(PyObject* fn, PyObject* logging_file, const char* qualname) noexcept {
  if (!fn || !PyFunction_Check(fn)) return false;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fn));
  if (PyUnicode_Compare(code->co_filename, logging_file) != 0) return false;
  return PyUnicode_CompareWithASCIIString(code->co_qualname, qualname) == 0;
}

bool remember(VerifiedType& slot, PyTypeObject* type) noexcept {
  if (!PyUnstable_Type_AssignVersionTag(type)) return false;
  Py_XSETREF(slot.type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  slot.tag = type->tp_version_tag;
  return true;
}

bool already_verified(const VerifiedType& slot, PyTypeObject* type) noexcept {
  return slot.type == type && slot.tag != 0 && type->tp_version_tag == slot.tag;
}

// Every method on the path of Logger.log is logging's own and attributes
// are looked up the ordinary way.
bool logger_type_untouched(PyTypeObject* type, PyObject* logging) noexcept {
  for (const VerifiedType& v : state.skip.loggers)
    if (already_verified(v, type)) return true;
  Ref file = Ref::steal(PyModule_GetFilenameObject(logging));
  if (!file) {
    PyErr_Clear();
    return false;
  }
  PyObject* logging_file = file.get();
  if (type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr)
    return false;
  // The instance attributes read below come from the instance dict only
  // when the class defines nothing of those names.
  for (PyObject* attr : {N.disabled, N._cache, N.filters, N.handlers, N.propagate, N.parent})
    if (_PyType_Lookup(type, attr)) return false;
  for (const PathMethod& m : path_methods())
    if (!is_logging_function(_PyType_Lookup(type, m.name), logging_file, m.qualname))
      return false;
  for (VerifiedType& v : state.skip.loggers) {
    if (!v.type || v.tag != v.type->tp_version_tag) return remember(v, type);
  }
  return remember(state.skip.loggers[0], type);
}

// logging._logRecordFactory is logging.LogRecord, with its own __init__.
int default_record_factory(PyObject* logging) noexcept {
  PyObject* ns = PyModule_GetDict(logging);
  if (!ns) return -1;
  PyObject* factory = PyDict_GetItemWithError(ns, N._logRecordFactory);
  if (!factory) return PyErr_Occurred() ? -1 : 0;
  PyObject* record_class = PyDict_GetItemWithError(ns, N.LogRecord);
  if (!record_class) return PyErr_Occurred() ? -1 : 0;
  if (factory != record_class || !PyType_Check(record_class)) return 0;
  auto* type = reinterpret_cast<PyTypeObject*>(record_class);
  if (already_verified(state.skip.record, type)) return 1;
  Ref file = Ref::steal(PyModule_GetFilenameObject(logging));
  if (!file) return -1;
  if (!is_logging_function(_PyType_Lookup(type, N.__init__), file.get(), "LogRecord.__init__"))
    return 0;
  remember(state.skip.record, type);
  return 1;
}

// Nothing on the instance shadows a method of the path. One pass over the
// instance's few attributes: names set as attributes are interned, so a
// key equal to a method name is that very object; a key that is not an
// interned str is a doubt.
int methods_not_shadowed(PyObject* dict) noexcept {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  const auto path = path_methods();
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return 0;
    for (const PathMethod& m : path)
      if (key == m.name) return 0;
  }
  return 1;
}

// An attribute of the logger itself: from its instance dict (see
// logger_type_untouched), otherwise read the ordinary way. Empty with no
// exception set when the dict lacks it.
Ref own_attr(PyObject* obj, PyObject* dict, PyObject* name) noexcept {
  if (!dict) return getattr(obj, name);
  return Ref::borrow(PyDict_GetItemWithError(dict, name));
}

// Walks the handlers exactly as Logger.callHandlers does: 1 when at least
// one handler is reached and none has a level at or below `level`. The
// first logger's attributes come from its instance dict `dict`.
int no_handler_takes(PyObject* logger, PyObject* dict, long level) noexcept {
  Ref current = Ref::borrow(logger);
  Py_ssize_t found = 0;
  while (current) {
    int truthy = PyObject_IsTrue(current.get());
    if (truthy <= 0) {
      if (truthy < 0) return -1;
      break;
    }
    Ref handlers = own_attr(current.get(), dict, N.handlers);
    if (!handlers) return PyErr_Occurred() ? -1 : 0;
    if (!PyList_CheckExact(handlers.get())) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
      Ref handler = Ref::borrow(PyList_GET_ITEM(handlers.get(), i));
      ++found;
      Ref threshold = getattr(handler.get(), N.level);
      if (!threshold) return -1;
      if (!PyLong_CheckExact(threshold.get())) return 0;
      int overflow = 0;
      long t = PyLong_AsLongAndOverflow(threshold.get(), &overflow);
      if (overflow < 0 || (!overflow && t <= level)) return 0;
      if (t == -1 && PyErr_Occurred()) return -1;
    }
    Ref flag = own_attr(current.get(), dict, N.propagate);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    int propagate = PyObject_IsTrue(flag.get());
    if (propagate < 0) return -1;
    if (!propagate) break;
    current = own_attr(current.get(), dict, N.parent);
    if (!current) return PyErr_Occurred() ? -1 : 0;
    if (current.get() == Py_None) break;
    dict = nullptr;  // ancestors are read the ordinary way
  }
  return found > 0 ? 1 : 0;
}

// Logger.isEnabledFor(level) as logging answers it, filling the logger's
// level cache exactly as that call does: on a cache hit the cached answer,
// on a miss the call itself. 1, 0, 2 for doubt, or -1.
int enabled_for(PyObject* logger, PyObject* dict, PyObject* level) noexcept {
  Ref flag = own_attr(logger, dict, N.disabled);
  if (!flag) return PyErr_Occurred() ? -1 : 2;
  int disabled = PyObject_IsTrue(flag.get());
  if (disabled != 0) return disabled < 0 ? -1 : 0;
  Ref cache = own_attr(logger, dict, N._cache);
  if (!cache) return PyErr_Occurred() ? -1 : 2;
  if (PyDict_CheckExact(cache.get())) {
    Ref cached = Ref::borrow(PyDict_GetItemWithError(cache.get(), level));
    if (cached) return PyObject_IsTrue(cached.get());
    if (PyErr_Occurred()) return -1;
  }
  Ref answer = call_method(logger, N.isEnabledFor, level);
  if (!answer) return -1;
  return PyObject_IsTrue(answer.get());
}

int unobservable(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept {
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return 0;
  // One mapping argument makes LogRecord test its truth value.
  if (args && PyTuple_GET_SIZE(args) == 1 && !PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0)) &&
      !PyLong_CheckExact(PyTuple_GET_ITEM(args, 0)) &&
      !PyFloat_CheckExact(PyTuple_GET_ITEM(args, 0)))
    return 0;
  int overflow = 0;
  const long lvl = PyLong_AsLongAndOverflow(level, &overflow);
  if (overflow || (lvl == -1 && PyErr_Occurred())) return overflow ? 0 : -1;

  Ref logging = global(N.logging);
  if (!logging) return -1;
  if (!PyModule_CheckExact(logging.get())) return 0;
  if (!logger_type_untouched(Py_TYPE(logger), logging.get())) return 0;
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict) return -1;
  if (!PyDict_CheckExact(dict.get())) return 0;
  int r = methods_not_shadowed(dict.get());
  if (r <= 0) return r;
  Ref filters = own_attr(logger, dict.get(), N.filters);
  if (!filters) return PyErr_Occurred() ? -1 : 0;
  if (!PyList_CheckExact(filters.get()) || PyList_GET_SIZE(filters.get()) != 0) return 0;
  r = default_record_factory(logging.get());
  if (r <= 0) return r;
  // A level the logger is not enabled for ends Logger.log right there.
  r = enabled_for(logger, dict.get(), level);
  if (r != 1) return r == 0 ? 1 : (r < 0 ? -1 : 0);
  return no_handler_takes(logger, dict.get(), lvl);
}

}  // namespace

int record_unobservable(PyObject* logger, PyObject* level, PyObject* args,
                        PyObject* kwargs) noexcept {
  int r = unobservable(logger, level, args, kwargs);
  if (r < 0) {
    // An ordinary failure here only means doubt: the real call decides.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
  }
  return r;
}

}  // namespace lm
