// VarnelLog.__new__: chooses, builds and registers a logger object.
#include "function/function.hpp"
#include "logger/constructors.hpp"
#include "logger/methods.hpp"
#include "logger/params.hpp"
#include "process/lock.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

constexpr Param params[] = {
    {"cls"},
    {.name = "name", .check = Check::Str, .none_ok = true, .annotation = "Optional[str]"},
    kLevelParam,
    kFileParam,
    kHandlerTypeParam,
    kConsoleParam,
    kRehandlerParam,
    kExtraKeywords,
};

constexpr LoggerArgs arg = logger_args(params);

// Runs with _LOCK held.
Ref build(Bound& a, PyObject* name) noexcept {
  if (check_registries() < 0) return {};
  InLogging found = in_logging(name);
  if (found == InLogging::Error) return {};
  int known = found == InLogging::Logger;
  if (!known && PyUnicode_CompareWithASCIIString(name, "root") == 0) {
    // logging never lists root among its known names, yet root always
    // exists: asked to take it over, the factory does.
    known = PyObject_IsTrue(a[arg.rehandler]);
    if (known < 0) return {};
  }
  if (known) {
    Ref cls = global(N._GetLogger);
    if (!cls) return {};
    return call_dict(cls.get(), {name, a[arg.level], a[arg.file], a[arg.handler_type], a[arg.console], a[arg.rehandler]},
                     a[arg.kwargs]);
  }
  Ref cls = global(N._SetLogger);
  if (!cls) return {};
  Configuring configuring(name, found == InLogging::Placeholder);
  Ref obj = call_dict(cls.get(), {name, a[arg.level], a[arg.file], a[arg.handler_type], a[arg.console]},
                      a[arg.kwargs]);
  if (!obj) return {};
  return configuring.register_object(obj.get());
}

Ref varnel_new(Func*, Bound& a) noexcept {
  PyObject* name = a[arg.name];
  if (name == Py_None || PyUnicode_GET_LENGTH(name) == 0) name = N.s_root;
  ModuleLock lock;
  if (lock.enter() < 0) return {};
  return lock.exit(build(a, name));
}

}  // namespace

const Signature varnel_new_sig = {
    .name = "__new__",
    .qualname = "VarnelLog.__new__",
    .params = params,
    .returns = "'_LogBase'",
    .impl = varnel_new,
};

}  // namespace lm
