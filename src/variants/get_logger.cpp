// _GetLogger: serves a name logging already knows, by a child or a capture.
#include "module/logger_params.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"
#include "variants/shared.hpp"
#include "variants/stack.hpp"

namespace lm {
namespace {

enum { SELF, NAME, LEVEL, FILE_, HANDLER_TYPE, CONSOLE, REHANDLER, KWARGS };

// name, or name + "." + str(uuid.uuid4()) for a fresh child logger.
Ref object_name(PyObject* name, PyObject* rehandler) noexcept {
  int take_over = PyObject_IsTrue(rehandler);
  if (take_over < 0) return {};
  if (take_over) return Ref::borrow(name);
  Ref uuid = global(N.uuid);
  if (!uuid) return {};
  Ref uuid4 = getattr(uuid.get(), N.uuid4);
  if (!uuid4) return {};
  Ref value = call(uuid4.get());
  if (!value) return {};
  Ref text = Ref::steal(PyObject_Str(value.get()));
  if (!text) return {};
  return concat({name, N.s_dot, text.get()});
}

Ref get_logger_init(Func* f, Bound& a) noexcept {
  PyObject* self = a[SELF];
  if (!super_call(f, self, N.__init__)) return {};
  Ref name = object_name(a[NAME], a[REHANDLER]);
  if (!name || setattr(self, N.name, name.get()) < 0) return {};
  Ref path = stored_path(a[FILE_]);
  if (!path || setattr(self, N.file, path.get()) < 0) return {};
  if (setattr(self, N.handler_type, a[HANDLER_TYPE]) < 0 ||
      setattr(self, N.file_level, a[LEVEL]) < 0 || setattr(self, N.console, a[CONSOLE]) < 0 ||
      setattr(self, N.console_level, a[LEVEL]) < 0 ||
      setattr(self, N.rehandler, a[REHANDLER]) < 0 || setattr(self, N.kwargs, a[KWARGS]) < 0)
    return {};
  if (!call_method(self, N._captures_logger)) return {};
  return none();
}

Ref captures_logger(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref name = bind_standard_logger(self);
  if (!name) return {};
  Ref logger = getattr(self, N._logger);
  if (!logger) return {};
  // A take-over always captures and stacks; a child logger is captured
  // only if it already has handlers (a fresh child never has).
  int take_over = attr_truth(self, N.rehandler);
  if (take_over < 0) return {};
  if (!take_over) {
    Ref current = getattr(logger.get(), N.handlers);
    take_over = current ? PyObject_IsTrue(current.get()) : -1;
    if (take_over < 0) return {};
  }
  if (take_over) {
    TakeOver capture;
    if (capture.begin(self, name.get(), logger.get()) < 0) return {};
    if (setup_standard_logger(self) < 0) {
      capture.undo();
      return {};
    }
    return none();
  }
  LoggerSnapshot before;
  if (before.take(logger.get()) < 0) return {};
  if (setup_standard_logger(self) < 0) {
    before.restore();
    return {};
  }
  return none();
}

const Param init_params[] = {
    {"self"},
    {.name = "name", .check = Check::Str, .annotation = "str"},
    kLevelParam,
    kFileParam,
    kHandlerTypeParam,
    kConsoleParam,
    kRehandlerParam,
    kExtraKeywords,
};
const Param self_only[] = {{"self"}};

}  // namespace

const Signature get_logger_init_sig = {
    .name = "__init__",
    .qualname = "_GetLogger.__init__",
    .params = init_params,
    .returns = "None",
    .impl = get_logger_init,
    .uses_super = true,
};

const Signature captures_logger_sig = {
    .name = "_captures_logger",
    .qualname = "_GetLogger._captures_logger",
    .params = self_only,
    .returns = nullptr,
    .impl = captures_logger,
};

}  // namespace lm
