// The exact test of whether a record could be seen by anybody, read afresh.
#include "hot/exact.hpp"

#include <array>
#include <initializer_list>

#include "process/state.hpp"

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

// An attribute of the logger, read the ordinary way (its class defines
// none of these names, see logger_type_untouched, so this reads the
// instance's own value without making its __dict__). Empty with no
// exception set when the logger lacks it.
Ref own_attr(PyObject* obj, PyObject* name) noexcept {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return {};
  return Ref::steal(value);
}

// Nothing on the instance shadows a method of the path: each name finds
// the class's function, bound to this logger. 1, 0 for doubt, -1.
int methods_not_shadowed(PyObject* logger) noexcept {
  PyTypeObject* type = Py_TYPE(logger);
  for (const PathMethod& m : path_methods()) {
    Ref found = own_attr(logger, m.name);
    if (!found) return PyErr_Occurred() ? -1 : 0;
    if (!PyMethod_Check(found.get()) || PyMethod_GET_SELF(found.get()) != logger ||
        PyMethod_GET_FUNCTION(found.get()) != _PyType_Lookup(type, m.name))
      return 0;
  }
  return 1;
}

// Walks the handlers exactly as Logger.callHandlers does: 1 when at least
// one handler is reached and none has a level at or below `level`.
int no_handler_takes(PyObject* logger, long level) noexcept {
  Ref current = Ref::borrow(logger);
  Py_ssize_t found = 0;
  while (current) {
    int truthy = PyObject_IsTrue(current.get());
    if (truthy <= 0) {
      if (truthy < 0) return -1;
      break;
    }
    Ref handlers = own_attr(current.get(), N.handlers);
    if (!handlers) return PyErr_Occurred() ? -1 : 0;
    if (!PyList_CheckExact(handlers.get())) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
      // Taken with its own reference: another thread may remove it meanwhile.
      Ref handler = Ref::steal(PyList_GetItemRef(handlers.get(), i));
      if (!handler) return -1;
      ++found;
      Ref threshold = getattr(handler.get(), N.level);
      if (!threshold) return -1;
      if (!PyLong_CheckExact(threshold.get())) return 0;
      int overflow = 0;
      long t = PyLong_AsLongAndOverflow(threshold.get(), &overflow);
      if (overflow < 0 || (!overflow && t <= level)) return 0;
      if (t == -1 && PyErr_Occurred()) return -1;
    }
    Ref flag = own_attr(current.get(), N.propagate);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    int propagate = PyObject_IsTrue(flag.get());
    if (propagate < 0) return -1;
    if (!propagate) break;
    current = own_attr(current.get(), N.parent);
    if (!current) return PyErr_Occurred() ? -1 : 0;
    if (current.get() == Py_None) break;
  }
  return found > 0 ? 1 : 0;
}

// Logger.isEnabledFor(level) as logging answers it, filling the logger's
// level cache exactly as that call does: on a cache hit the cached answer,
// on a miss the call itself.
enum class Enabled : std::uint8_t { Yes, No, Doubt, Error };
Enabled enabled_for(PyObject* logger, PyObject* level) noexcept {
  Ref flag = own_attr(logger, N.disabled);
  if (!flag) return PyErr_Occurred() ? Enabled::Error : Enabled::Doubt;
  int disabled = PyObject_IsTrue(flag.get());
  if (disabled < 0) return Enabled::Error;
  if (disabled) return Enabled::No;
  Ref cache = own_attr(logger, N._cache);
  if (!cache) return PyErr_Occurred() ? Enabled::Error : Enabled::Doubt;
  Ref answer;
  if (PyDict_CheckExact(cache.get())) {
    PyObject* cached = nullptr;
    if (PyDict_GetItemRef(cache.get(), level, &cached) < 0) return Enabled::Error;
    answer = Ref::steal(cached);
  }
  if (!answer) answer = call_method(logger, N.isEnabledFor, level);
  if (!answer) return Enabled::Error;
  int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return Enabled::Error;
  return truth ? Enabled::Yes : Enabled::No;
}

Verdict from(int r) noexcept {
  return r < 0 ? Verdict::Error : (r ? Verdict::Skip : Verdict::Call);
}

Verdict decide(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept {
  if (arguments_inspected(args, kwargs)) return Verdict::Call;
  int overflow = 0;
  const long lvl = PyLong_AsLongAndOverflow(level, &overflow);
  if (overflow) return Verdict::Call;
  if (lvl == -1 && PyErr_Occurred()) return Verdict::Error;

  Ref logging = global(N.logging);
  if (!logging) return Verdict::Error;
  if (!PyModule_CheckExact(logging.get())) return Verdict::Call;
  if (!logger_type_untouched(Py_TYPE(logger), logging.get())) return Verdict::Call;
  int r = methods_not_shadowed(logger);
  if (r <= 0) return r < 0 ? Verdict::Error : Verdict::Call;
  Ref filters = own_attr(logger, N.filters);
  if (!filters) return PyErr_Occurred() ? Verdict::Error : Verdict::Call;
  if (!PyList_CheckExact(filters.get()) || PyList_GET_SIZE(filters.get()) != 0)
    return Verdict::Call;
  r = default_record_factory(logging.get());
  if (r <= 0) return r < 0 ? Verdict::Error : Verdict::Call;
  // A level the logger is not enabled for ends Logger.log right there.
  switch (enabled_for(logger, level)) {
    case Enabled::No: return Verdict::Skip;
    case Enabled::Doubt: return Verdict::Call;
    case Enabled::Error: return Verdict::Error;
    case Enabled::Yes: break;
  }
  return from(no_handler_takes(logger, lvl));
}

}  // namespace

bool version_tagged(PyTypeObject* type) noexcept {
  // A tag is never changed but to 0, so a non-zero one read now is valid.
  if (_Py_atomic_load_uint_relaxed(&type->tp_version_tag) != 0) return true;
  return PyUnstable_Type_AssignVersionTag(type) != 0;
}

bool arguments_inspected(PyObject* args, PyObject* kwargs) noexcept {
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return true;
  // One mapping argument makes LogRecord test its truth value.
  if (args && PyTuple_GET_SIZE(args) == 1) {
    PyObject* only = PyTuple_GET_ITEM(args, 0);
    return !PyUnicode_CheckExact(only) && !PyLong_CheckExact(only) && !PyFloat_CheckExact(only);
  }
  return false;
}

bool logger_type_untouched(PyTypeObject* type, PyObject* logging) noexcept {
  if (type->tp_getattro != PyObject_GenericGetAttr ||
      type->tp_setattro != PyObject_GenericSetAttr)
    return false;
  // A tag first: any later change to the type or its bases resets it.
  if (!version_tagged(type)) return false;
  Ref file = Ref::steal(PyModule_GetFilenameObject(logging));
  if (!file) {
    PyErr_Clear();
    return false;
  }
  // The instance attributes read come from the instance only when the
  // class defines nothing of those names.
  for (PyObject* attr : {N.disabled, N._cache, N.filters, N.handlers, N.propagate, N.parent})
    if (_PyType_Lookup(type, attr)) return false;
  for (const PathMethod& m : path_methods())
    if (!is_logging_function(_PyType_Lookup(type, m.name), file.get(), m.qualname))
      return false;
  // Later 3.13 releases ask it first in isEnabledFor (a logger in the middle
  // of handling a record on this thread takes no other).
  PyObject* is_disabled = _PyType_Lookup(type, N._is_disabled);
  return !is_disabled || is_logging_function(is_disabled, file.get(), "Logger._is_disabled");
}

int default_record_factory(PyObject* logging) noexcept {
  PyObject* ns = PyModule_GetDict(logging);
  if (!ns) return -1;
  PyObject* factory = nullptr;
  if (PyDict_GetItemRef(ns, N._logRecordFactory, &factory) <= 0) return PyErr_Occurred() ? -1 : 0;
  Ref hold_factory = Ref::steal(factory);
  PyObject* record_class = nullptr;
  if (PyDict_GetItemRef(ns, N.LogRecord, &record_class) <= 0) return PyErr_Occurred() ? -1 : 0;
  Ref hold_class = Ref::steal(record_class);
  if (factory != record_class || !PyType_Check(record_class)) return 0;
  auto* type = reinterpret_cast<PyTypeObject*>(record_class);
  if (!version_tagged(type)) return 0;
  Ref file = Ref::steal(PyModule_GetFilenameObject(logging));
  if (!file) return -1;
  return is_logging_function(_PyType_Lookup(type, N.__init__), file.get(), "LogRecord.__init__")
             ? 1
             : 0;
}

Verdict decide_exactly(PyObject* logger, PyObject* level, PyObject* args,
                       PyObject* kwargs) noexcept {
  Verdict v = decide(logger, level, args, kwargs);
  if (v == Verdict::Error) {
    // An ordinary failure here only means doubt: the real call decides.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Verdict::Error;
    PyErr_Clear();
    return Verdict::Call;
  }
  return v;
}

}  // namespace lm
