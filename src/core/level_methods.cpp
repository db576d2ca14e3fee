// _log and the five level methods: compose eagerly, emit through logging.
#include "core/compose.hpp"
#include "core/fast_path.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"
#include "runtime/ref_buffer.hpp"

namespace lm {
namespace {

// self._logger.log(level, text, *args, **kwargs), made with one vectorcall
// and no bound method; args and kwargs may be NULL for "none given".
Ref emit(PyObject* self, PyObject* level, PyObject* text, PyObject* args,
         PyObject* kwargs) noexcept {
  Ref logger = getattr(self, N._logger);  // read again: disable() may have run
  if (!logger) return {};
  int skip = record_unobservable(logger.get(), level, args, kwargs);
  if (skip) return skip < 0 ? Ref{} : none();
  const Py_ssize_t npos = 2 + (args ? PyTuple_GET_SIZE(args) : 0);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;

  PtrBuffer<12> stack;
  if (stack.reserve(static_cast<size_t>(1 + npos + nkw)) < 0) return {};
  stack[0] = logger.get();
  stack[1] = level;
  stack[2] = text;
  for (Py_ssize_t i = 2; i < npos; ++i) stack[1 + i] = PyTuple_GET_ITEM(args, i - 2);

  Ref kwnames;
  RefBuffer<4> values;  // the callee may mutate the dict: hold its values
  if (nkw) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames || values.reserve(static_cast<size_t>(nkw)) < 0) return {};
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (i < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return {};
      }
      PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
      values[i] = Ref::borrow(value);
      stack[1 + npos + i] = value;
      ++i;
    }
  }
  return Ref::steal(PyObject_VectorcallMethod(
      N.log, stack.data(), static_cast<size_t>(1 + npos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
      kwnames.get()));
}

// The body of _log once its arguments are bound; args and kwargs are NULL
// when None was given.
Ref log_body(PyObject* self, PyObject* level, PyObject* const* parts, Py_ssize_t nparts,
             PyObject* args, PyObject* kwargs) noexcept {
  int enabled = attr_truth(self, N._logger);
  if (enabled <= 0) return enabled < 0 ? Ref{} : none();

  // Every Exception raised while composing or emitting is swallowed; the
  // exception the caller may be handling is not touched.
  Ref text = compose(parts, nparts);
  Ref result = text ? emit(self, level, text.get(), args, kwargs) : Ref{};
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
  }
  return none();
}

PyObject* or_null(PyObject* v) noexcept { return v == Py_None ? nullptr : v; }

Ref log_impl(Func*, Bound& a) noexcept {
  PyObject* message = a[2];
  return log_body(a[0], a[1], &PyTuple_GET_ITEM(message, 0), PyTuple_GET_SIZE(message),
                  or_null(a[3]), or_null(a[4]));
}

// Whether self._log is _LogBase._log itself: found on the type, looked up
// the ordinary way, and not shadowed by the instance.
int own_log(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr) return 0;
  if (_PyType_Lookup(type, N._log) != state.log_func) return 0;
  if (type->tp_dictoffset == 0) return 1;
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) return -1;
  return PyDict_Contains(dict.get(), N._log) == 0 ? 1 : 0;
}

// self._log(level, message, args, kwargs) with the method's level.
Ref call_log(Bound& a, PyObject* level_name) noexcept {
  PyObject* self = a[0];
  int direct = own_log(self);  // self._log is found before the level is read
  if (direct < 0) return {};
  Ref level = logging_attr(level_name);
  if (!level) return {};
  if (direct) {
    // Same effect as the call below, without building the message tuple.
    Ref r = log_body(self, level.get(), a.var_items(), a.var_count(), or_null(a[2]),
                     or_null(a[3]));
    return r ? none() : Ref{};
  }
  PyObject* message = a.varargs();
  if (!message) return {};
  Ref r = call_method(self, N._log, level.get(), message, a[2], a[3]);
  if (!r) return {};
  return none();
}

Ref debug(Func*, Bound& a) noexcept { return call_log(a, N.DEBUG); }
Ref info(Func*, Bound& a) noexcept { return call_log(a, N.INFO); }
Ref warning(Func*, Bound& a) noexcept { return call_log(a, N.WARNING); }
Ref error(Func*, Bound& a) noexcept { return call_log(a, N.ERROR); }
Ref critical(Func*, Bound& a) noexcept { return call_log(a, N.CRITICAL); }

const Param log_params[] = {
    {"self"},
    {.name = "level", .check = Check::Int, .annotation = "int"},
    {.name = "message", .check = Check::Tuple, .annotation = "Tuple[Any, ...]"},
    {.name = "args",
     .check = Check::Tuple,
     .none_ok = true,
     .annotation = "Optional[Tuple[Any, ...]]",
     .dflt = kNone},
    {.name = "kwargs",
     .check = Check::Dict,
     .none_ok = true,
     .annotation = "Optional[Dict[str, Any]]",
     .dflt = kNone},
};

const Param level_params[] = {
    {"self"},
    {.name = "message", .kind = Kind::VarPositional, .annotation = "Any"},
    {.name = "args",
     .kind = Kind::KeywordOnly,
     .check = Check::Tuple,
     .none_ok = true,
     .annotation = "Optional[Tuple[Any, ...]]",
     .dflt = kNone},
    {.name = "kwargs",
     .kind = Kind::KeywordOnly,
     .check = Check::Dict,
     .none_ok = true,
     .annotation = "Optional[Dict[str, Any]]",
     .dflt = kNone},
};

#define LM_LEVEL_DOC(name)                                                      \
  "_LogBase." name                                                              \
  "(self, *message: Any, tuple args: Optional[Tuple[Any, ...]] = None, dict " \
  "kwargs: Optional[Dict[str, Any]] = None) -> None"

}  // namespace

const Signature log_sig = {
    .name = "_log",
    .qualname = "_LogBase._log",
    .doc = "_LogBase._log(self, int level: int, tuple message: Tuple[Any, ...], tuple args: "
           "Optional[Tuple[Any, ...]] = None, dict kwargs: Optional[Dict[str, Any]] = None) "
           "-> None",
    .params = log_params,
    .returns = "None",
    .impl = log_impl,
};

const Signature debug_sig = {"debug", "_LogBase.debug", LM_LEVEL_DOC("debug"), level_params,
                             "None", debug};
const Signature info_sig = {"info", "_LogBase.info", LM_LEVEL_DOC("info"), level_params,
                            "None", info};
const Signature warning_sig = {"warning", "_LogBase.warning", LM_LEVEL_DOC("warning"),
                               level_params, "None", warning};
const Signature error_sig = {"error", "_LogBase.error", LM_LEVEL_DOC("error"), level_params,
                             "None", error};
const Signature critical_sig = {"critical", "_LogBase.critical", LM_LEVEL_DOC("critical"),
                                level_params, "None", critical};

}  // namespace lm
