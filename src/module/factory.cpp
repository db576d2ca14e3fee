// VarnelLog.__new__: chooses, builds and registers a logger object.
#include "module/logger_params.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/context.hpp"
#include "runtime/function.hpp"
#include "variants/shared.hpp"

namespace lm {
namespace {

enum { CLS, NAME, LEVEL, FILE_, HANDLER_TYPE, CONSOLE, REHANDLER, KWARGS };

// Runs with _LOCK held.
Ref build(Bound& a, PyObject* name) noexcept {
  int known = known_to_logging(name);
  if (known < 0) return {};
  if (known) {
    Ref cls = global(N._GetLogger);
    if (!cls) return {};
    return call_dict(cls.get(), {name, a[LEVEL], a[FILE_], a[HANDLER_TYPE], a[CONSOLE], a[REHANDLER]},
                     a[KWARGS]);
  }
  Ref cls = global(N._SetLogger);
  if (!cls) return {};
  Ref obj = call_dict(cls.get(), {name, a[LEVEL], a[FILE_], a[HANDLER_TYPE], a[CONSOLE]},
                      a[KWARGS]);
  if (!obj) return {};
  Ref loggers = global(N._LOGGERS);
  if (!loggers) return {};
  Ref stack = Ref::steal(Py_BuildValue("{i:O}", 1, obj.get()));
  Ref entry = Ref::steal(PyDict_New());
  if (!stack || !entry || PyDict_SetItem(entry.get(), name, stack.get()) < 0 ||
      !call_method(loggers.get(), N.update, entry.get()))
    return {};
  // Read back from the registry, as the caller will find it there.
  Ref registered = Ref::steal(PyObject_GetItem(loggers.get(), name));
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!registered || !one) return {};
  return Ref::steal(PyObject_GetItem(registered.get(), one.get()));
}

Ref varnel_new(Func*, Bound& a) noexcept {
  PyObject* name = a[NAME];
  if (name == Py_None || PyUnicode_GET_LENGTH(name) == 0) name = N.s_root;
  Ref lock = global(N._LOCK);
  if (!lock) return {};
  With held;
  if (held.enter(lock.get()) < 0) return {};
  return held.exit(build(a, name));
}

const Param params[] = {
    {"cls"},
    {.name = "name", .check = Check::Str, .none_ok = true, .annotation = "Optional[str]"},
    kLevelParam,
    kFileParam,
    kHandlerTypeParam,
    kConsoleParam,
    kRehandlerParam,
    kExtraKeywords,
};

}  // namespace

const Signature varnel_new_sig = {
    .name = "__new__",
    .qualname = "VarnelLog.__new__",
    .doc = "VarnelLog.__new__(cls, str name: Optional[str], int level: int = logging.DEBUG, str "
           "file: Optional[str] = None, str handler_type: str = 'file', console: bool = True, "
           "rehandler: bool = False, **kwargs) -> '_LogBase'",
    .params = params,
    .returns = "'_LogBase'",
    .impl = varnel_new,
};

}  // namespace lm
