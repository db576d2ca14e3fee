// _log, the five level methods and exception(): compose the parts, decide, emit through logging.

#include <cstddef>

#include "capi/const_text.hpp"
#include "capi/levels.hpp"
#include "function/function.hpp"
#include "hot/verdict.hpp"
#include "logger/message.hpp"
#include "logger/methods.hpp"
#include "process/state.hpp"

namespace lm {

namespace {

// The keywords of a call from the caller's kwargs dict: their names as a
// tuple (left empty when there are none) and their values, held here since
// the callee may mutate the dict. The dict is read whole: without the GIL
// another thread may be changing it.
int keywords_of(PyObject* kwargs, Ref& kwnames, RefBuffer<4>& values) noexcept {
  int result = 0;
  Py_BEGIN_CRITICAL_SECTION(kwargs);
  const Py_ssize_t n = PyDict_GET_SIZE(kwargs);
  if (n) {
    kwnames = Ref::steal(PyTuple_New(n));
    if (!kwnames || values.reserve(static_cast<size_t>(n)) < 0) result = -1;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (result == 0 && i < n && PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        result = -1;
        break;
      }
      PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
      values[i++] = Ref::borrow(value);
    }
  }
  Py_END_CRITICAL_SECTION();
  return result;
}

// logger.log(level, text, *args, **kwargs), made with one vectorcall and no
// bound method; args and kwargs may be NULL for "none given".
Ref emit(PyObject* logger, PyObject* level, PyObject* text, PyObject* args,
         PyObject* kwargs) noexcept {
  const Py_ssize_t npos = 2 + (args ? PyTuple_GET_SIZE(args) : 0);
  Ref kwnames;
  RefBuffer<4> values;
  if (kwargs && keywords_of(kwargs, kwnames, values) < 0) return {};
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames.get()) : 0;

  PtrBuffer<12> stack;
  if (stack.reserve(static_cast<size_t>(1 + npos + nkw)) < 0) return {};
  stack[0] = logger;
  stack[1] = level;
  stack[2] = text;
  for (Py_ssize_t i = 2; i < npos; ++i) stack[1 + i] = PyTuple_GET_ITEM(args, i - 2);
  for (Py_ssize_t i = 0; i < nkw; ++i) stack[1 + npos + i] = values[i].get();
  return Ref::steal(PyObject_VectorcallMethod(
      N.log, stack.data(), static_cast<size_t>(1 + npos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
      kwnames.get()));
}

// self._logger, from self's own __dict__ when `dict` is given (its class
// has no attribute of that name), else the ordinary way.
Ref read_logger(PyObject* self, PyObject* dict) noexcept {
  if (dict) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, N._logger, &value);
    if (found) return Ref::steal(value);  // found, or an error
  }
  return getattr(self, N._logger);
}

// The keywords of a record that carries the exception being handled, as
// Logger.exception passes them: kwargs (NULL for none) with exc_info=True
// unless kwargs gives exc_info, in a new dict (the caller's is not changed).
Ref with_exc_info(PyObject* kwargs) noexcept {
  Ref merged = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
  if (!merged || PyDict_SetDefaultRef(merged.get(), N.exc_info, Py_True, nullptr) < 0) return {};
  return merged;
}

// The record of `message` (prepared) for `logger` (self._logger read after
// composing), logged unless nobody could see it; with `exc_info`, carrying
// the exception being handled. exc_info=True does not change the verdict:
// Logger.log tests the level before it looks at keywords, and what it adds
// to the record (sys.exc_info()) is read by no level or handler test, so
// the verdict of the call without it is the verdict of the call with it.
Ref emit_composed(Ref logger, PyObject* level, Message& message, PyObject* args,
                  PyObject* kwargs, bool exc_info) noexcept {
  if (!logger) return {};
  switch (hot::verdict(logger.get(), level, args, kwargs)) {
    case hot::Verdict::Skip: return none();
    case hot::Verdict::Error: return {};
    case hot::Verdict::Call: break;
  }
  Ref text = message.text();
  if (!text) return {};
  Ref merged;
  if (exc_info) {
    merged = with_exc_info(kwargs);
    if (!merged) return {};
    kwargs = merged.get();
  }
  return emit(logger.get(), level, text.get(), args, kwargs);
}

// Compose, read self._logger again, and log unless nobody could see the
// record. The parts whose str() could run code are converted first, in
// order; the text is joined only for a record that is logged. When that
// conversion ran nothing, and reading self._logger and testing `first` ran
// nothing either, the second read would find `first` again.
Ref compose_and_emit(PyObject* self, PyObject* dict, Ref first, PyObject* level,
                     PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
                     PyObject* kwargs, bool exc_info) noexcept {
  Message message(parts, nparts);
  if (message.prepare() < 0) return {};
  Ref logger = !message.converted_any() && dict && truth_runs_nothing(Py_TYPE(first.get()))
                   ? std::move(first)
                   : read_logger(self, dict);
  return emit_composed(std::move(logger), level, message, args, kwargs, exc_info);
}

// None for a record composed and emitted, or not: every Exception raised
// while composing or emitting is swallowed (anything else is passed on); the
// exception the caller may be handling is not touched.
Ref none_unless_fatal(Ref result) noexcept {
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
  }
  return none();
}

// The body of _log once its arguments are bound; args and kwargs are NULL
// when None was given. With `exc_info`, the body of
// _log(level, message, args, with_exc_info(kwargs)), the keywords merged
// only for a record that is logged.
Ref log_body(PyObject* self, PyObject* dict, PyObject* level, PyObject* const* parts,
             Py_ssize_t nparts, PyObject* args, PyObject* kwargs, bool exc_info) noexcept {
  Ref logger = read_logger(self, dict);
  if (!logger) return {};
  if (dict && hot::dicts_watched) hot::remember_self(self, dict, logger.get());
  int enabled = logger.get() == Py_None ? 0 : PyObject_IsTrue(logger.get());
  if (enabled <= 0) return enabled < 0 ? Ref{} : none();

  return none_unless_fatal(compose_and_emit(self, dict, std::move(logger), level, parts, nparts,
                                            args, kwargs, exc_info));
}

PyObject* or_null(PyObject* v) noexcept { return v == Py_None ? nullptr : v; }

// What is left of a level method's call once its record is known to be
// seen by nobody, but a part's str() may run code: compose, then, unless
// the record is still known to be seen by nobody, read self._logger again
// and go on as _log does. `level` is logging's constant as the call found it.
Ref compose_then_skip(PyObject* self, PyObject* const* parts, Py_ssize_t nparts,
                      int level_index, bool exc_info) noexcept {
  Ref level = hot::level_constant(level_index);
  if (!level) return {};
  Message message(parts, nparts);
  if (message.prepare() < 0) return none_unless_fatal({});
  if (hot::quick(self, level_index) == hot::Quick::Skip) return none();
  return none_unless_fatal(
      emit_composed(getattr(self, N._logger), level.get(), message, nullptr, nullptr, exc_info));
}

Ref log_impl(Func*, Bound& a) noexcept {
  PyObject* message = a[2];
  return log_body(a[0], nullptr, a[1], &PyTuple_GET_ITEM(message, 0),
                  PyTuple_GET_SIZE(message), or_null(a[3]), or_null(a[4]), false);
}

// What tells the methods that log at one level apart: the level (index 0
// to 4 for DEBUG to CRITICAL), whether the record carries the exception
// being handled, and the method's slot of kept __kwdefaults__.
struct LevelMethod {
  int level;
  bool exc_info;
  int slot;
};

// self._log(level, parts, args, kwargs) with the method's level; for
// exception(), with exc_info=True added to kwargs.
Ref call_log(PyObject* self, PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
             PyObject* kwargs, LevelMethod m) noexcept {
  hot::LogTarget target = hot::log_target(self);  // found before the level is read
  if (target.how == hot::LogTarget::How::Error) return {};
  Ref level = hot::level_constant(m.level);
  if (!level) return {};
  if (target.how == hot::LogTarget::How::Direct) {
    // Same effect as the call below, without building the message tuple.
    return log_body(self, target.dict.get(), level.get(), parts, nparts, or_null(args),
                    or_null(kwargs), m.exc_info);
  }
  Ref message = Ref::steal(PyTuple_New(nparts));
  if (!message) return {};
  for (Py_ssize_t i = 0; i < nparts; ++i) PyTuple_SET_ITEM(message.get(), i, Py_NewRef(parts[i]));
  Ref merged;
  if (m.exc_info) {
    merged = with_exc_info(or_null(kwargs));
    if (!merged) return {};
    kwargs = merged.get();
  }
  Ref r = call_method(self, N._log, level.get(), message.get(), args, kwargs);
  if (!r) return {};
  return none();
}

template <LevelMethod M>
Ref level_impl(Func*, Bound& a) noexcept {
  return call_log(a[0], a.var_items(), a.var_count(), a[2], a[3], M);
}

// The entry of the level methods: a call without keywords, while the live
// __kwdefaults__ still give args=None and kwargs=None, needs no binder.
template <LevelMethod M>
PyObject* level_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Func* f = reinterpret_cast<Func*>(callable);
  if ((kwnames && PyTuple_GET_SIZE(kwnames)) || nargs < 1 ||
      !hot::kwdefaults_are_none(f, M.slot))
    return func_vectorcall(callable, args, nargsf, kwnames);
  if (hot::dicts_watched) {
    switch (hot::quick(args[0], M.level)) {
      case hot::Quick::Disabled: return Py_NewRef(Py_None);
      case hot::Quick::Skip:
        if (all_silent(args + 1, nargs - 1)) return Py_NewRef(Py_None);
        return compose_then_skip(args[0], args + 1, nargs - 1, M.level, M.exc_info).release();
      case hot::Quick::Unknown: break;
    }
  }
  // Nothing here throws: errors travel as the C API's do.
  return call_log(args[0], args + 1, nargs - 1, Py_None, Py_None, M).release();
}

const Param log_method_params[] = {
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

const Param level_method_params[] = {
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

// __qualname__ of the method of level I: "_LogBase." and the name the level
// table gives it, joined when compiled.
template <int I>
constexpr ConstText level_qualname = [] {
  ConstText t;
  t << "_LogBase." << kLevels[I].method;
  return t;
}();

// The five level methods differ only in their level: its index, and the
// name the level table gives their method.
template <int I>
constexpr Signature level_sig() noexcept {
  constexpr LevelMethod m{.level = I, .exc_info = false, .slot = I};
  return {.name = kLevels[I].method,
          .qualname = level_qualname<I>.s,
          .params = level_method_params,
          .returns = "None",
          .impl = level_impl<m>,
          .entry = level_entry<m>};
}

// exception() is error() with the exception being handled attached.
constexpr int kErrorIndex = 3;
static_assert(kLevels[kErrorIndex].constant == &Names::ERROR);
constexpr LevelMethod kException{
    .level = kErrorIndex, .exc_info = true, .slot = hot::kExceptionSlot};

}  // namespace

const Signature log_sig = {
    .name = "_log",
    .qualname = "_LogBase._log",
    .params = log_method_params,
    .returns = "None",
    .impl = log_impl,
};

constinit const Signature debug_sig = level_sig<0>();
constinit const Signature info_sig = level_sig<1>();
constinit const Signature warning_sig = level_sig<2>();
constinit const Signature error_sig = level_sig<3>();
constinit const Signature critical_sig = level_sig<4>();

constinit const Signature exception_sig = {
    .name = "exception",
    .qualname = "_LogBase.exception",
    .params = level_method_params,
    .returns = "None",
    .impl = level_impl<kException>,
    .entry = level_entry<kException>,
};

}  // namespace lm
