// VarnelLog.__new__: chooses, builds and registers a logger object.
#include "module/signatures.hpp"
#include "module/state.hpp"
#include "variants/stack.hpp"
#include "runtime/function.hpp"
#include "variants/variants.hpp"

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

// Where each argument is in Bound, by name.
constexpr int NAME = LM_PARAM(params, "name");
constexpr int LEVEL = LM_PARAM(params, "level");
constexpr int FILE_ = LM_PARAM(params, "file");
constexpr int HANDLER_TYPE = LM_PARAM(params, "handler_type");
constexpr int CONSOLE = LM_PARAM(params, "console");
constexpr int REHANDLER = LM_PARAM(params, "rehandler");
constexpr int KWARGS = LM_PARAM(params, "kwargs");

// Runs with _LOCK held.
Ref build(Bound& a, PyObject* name) noexcept {
  if (check_registries() < 0) return {};
  int known = known_to_logging(name);
  if (known < 0) return {};
  if (!known && PyUnicode_CompareWithASCIIString(name, "root") == 0) {
    // logging never lists root among its known names, yet root always
    // exists: asked to take it over, the factory does.
    known = PyObject_IsTrue(a[REHANDLER]);
    if (known < 0) return {};
  }
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
  return register_configured(name, obj.get());
}

Ref varnel_new(Func*, Bound& a) noexcept {
  PyObject* name = a[NAME];
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
