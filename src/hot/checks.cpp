// What both verdicts check: the call's arguments, a logger and its class, logging's record factory.
#include "hot/checks.hpp"

#include <array>
#include <initializer_list>

#include "capi/names.hpp"
#include "hot/fit_memo.hpp"

namespace lm::hot {
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

// What a class gives for `name` through the type cache. Where another
// thread may replace the class attribute meanwhile (the free-threaded
// build) the value is held; with the GIL nothing runs between the lookup
// and the use, and the borrowed value costs nothing more.
class ClassAttr {
 public:
#ifdef Py_GIL_DISABLED
  ClassAttr(PyTypeObject* type, PyObject* name) noexcept
      : held_(Ref::steal(_PyType_LookupRef(type, name))) {}
  PyObject* get() const noexcept { return held_.get(); }
  Ref take() noexcept { return std::move(held_); }

 private:
  Ref held_;
#else
  ClassAttr(PyTypeObject* type, PyObject* name) noexcept : value_(_PyType_Lookup(type, name)) {}
  PyObject* get() const noexcept { return value_; }

 private:
  PyObject* value_;
#endif
};

// The code of `fn` (held by the caller) when it is a plain function
// compiled from logging's own source with the given qualified name, else
// null. Its __code__ may be replaced by another thread meanwhile; the code
// read is still alive here: with the GIL nothing else runs, and on the
// free-threaded build code objects are freed only by a collection, which
// waits for this thread to reach a safe point (none is in between).
PyObject* logging_code(PyObject* fn, PyObject* logging_file, const char* qualname) noexcept {
  if (!fn || !PyFunction_Check(fn)) return nullptr;
  auto* code = reinterpret_cast<PyCodeObject*>(
      _Py_atomic_load_ptr_relaxed(&reinterpret_cast<PyFunctionObject*>(fn)->func_code));
  if (PyUnicode_Compare(code->co_filename, logging_file) != 0 ||
      PyUnicode_CompareWithASCIIString(code->co_qualname, qualname) != 0)
    return nullptr;
  return reinterpret_cast<PyObject*>(code);
}

// The check of one class against logging's source `file`. The
// free-threaded build remembers a class found fit with the functions found
// (fit_memo.hpp), which spares later calls the check; with the GIL the
// cached verdict watches the classes instead.
class ClassCheck {
 public:
#ifdef Py_GIL_DISABLED
  ClassCheck(FitKind kind, PyTypeObject* type, PyObject* file) noexcept
      : kind_(kind), type_(type), file_(file),
        tag_(_Py_atomic_load_uint32_acquire(&type->tp_version_tag)) {}
  bool remembered() const noexcept { return fit_remembered(kind_, type_, file_); }
  bool logging_function(ClassAttr&& fn, const char* qualname) noexcept {
    PyObject* code = logging_code(fn.get(), file_, qualname);
    if (code) found_.add(fn.take(), code);
    return code != nullptr;
  }
  bool fit() noexcept {
    remember_fit(kind_, type_, tag_, file_, found_);
    return true;
  }

 private:
  FitKind kind_;
  PyTypeObject* type_;
  PyObject* file_;
  unsigned int tag_;  // read before anything is looked up on the class
  FitFound found_;
#else
  ClassCheck(FitKind, PyTypeObject*, PyObject* file) noexcept : file_(file) {}
  bool remembered() const noexcept { return false; }
  bool logging_function(ClassAttr&& fn, const char* qualname) const noexcept {
    return logging_code(fn.get(), file_, qualname) != nullptr;
  }
  bool fit() const noexcept { return true; }

 private:
  PyObject* file_;
#endif
};

}  // namespace

int methods_not_shadowed(PyObject* logger) noexcept {
  // The class gives each name logging's function (logger_type_untouched),
  // which an instance attribute overrides: a key of the instance's
  // __dict__, made here if it was not. No bound method is made.
  PyTypeObject* type = Py_TYPE(logger);
  if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) return 1;
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict) return -1;
  for (const PathMethod& m : path_methods()) {
    int found = PyDict_Contains(dict.get(), m.name);
    if (found != 0) return found < 0 ? -1 : 0;
  }
  return 1;
}

bool names_path_method(PyObject* key) noexcept {
  for (const PathMethod& m : path_methods())
    if (key == m.name || PyUnicode_Compare(key, m.name) == 0) return true;
  return false;
}

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
  ClassCheck check(FitKind::Logger, type, file.get());
  if (check.remembered()) return true;
  // The instance attributes read come from the instance only when the
  // class defines nothing of those names.
  for (PyObject* attr : {N.disabled, N._cache, N.filters, N.handlers, N.propagate, N.parent})
    if (_PyType_Lookup(type, attr)) return false;
  for (const PathMethod& m : path_methods())
    if (!check.logging_function(ClassAttr(type, m.name), m.qualname)) return false;
  // Later 3.13 releases ask it first in isEnabledFor (a logger in the middle
  // of handling a record on this thread takes no other).
  ClassAttr is_disabled(type, N._is_disabled);
  if (is_disabled.get() && !check.logging_function(std::move(is_disabled), "Logger._is_disabled"))
    return false;
  return check.fit();
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
  ClassCheck check(FitKind::Record, type, file.get());
  if (check.remembered()) return 1;
  if (!check.logging_function(ClassAttr(type, N.__init__), "LogRecord.__init__")) return 0;
  return check.fit() ? 1 : 0;
}

}  // namespace lm::hot
