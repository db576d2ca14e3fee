// _SetLogger: configures a logging logger that did not exist before.
#include "module/logger_params.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"
#include "variants/shared.hpp"
#include "variants/stack.hpp"

namespace lm {
namespace {

enum { SELF, NAME, LEVEL, FILE_, HANDLER_TYPE, CONSOLE, KWARGS };

// Refuses a file already registered with another kind of handler.
int check_file_kind(PyObject* path, PyObject* handler_type) noexcept {
  Ref registry = registry_dict(N._FHANDLERS);
  if (!registry) return -1;
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(registry.get(), path, &value) < 0) return -1;
  Ref existing = Ref::steal(value);
  if (!existing) return 0;
  if (!PyUnicode_Check(existing.get())) {
    PyErr_Format(PyExc_TypeError, "_FHANDLERS[%R] must be a str, not %.200s", path,
                 Py_TYPE(existing.get())->tp_name);
    return -1;
  }
  int found = PyObject_IsTrue(existing.get());
  if (found <= 0) return found;
  int differs = PyObject_RichCompareBool(existing.get(), handler_type, Py_NE);
  if (differs <= 0) return differs;
  Ref p1 = str("处理器冲突：日志文件 "), p3 = str(" 新增处理器类型 "),
      p5 = str(" 与已有处理器类型 "), p7 = str(" 冲突");
  if (!p1 || !p3 || !p5 || !p7) return -1;
  Ref message = concat({p1.get(), path, p3.get(), handler_type, p5.get(), existing.get(),
                        p7.get()});
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return -1;
}

Ref set_logger_init(Func* f, Bound& a) noexcept {
  PyObject* self = a[SELF];
  if (!super_call(f, self, N.__init__)) return {};

  int known = known_to_logging(a[NAME]);
  if (known < 0) return {};
  if (known) {
    Ref tail = str(" 已存在");
    Ref message = tail ? concat({a[NAME], tail.get()}) : Ref{};
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
  }
  Ref path = stored_path(a[FILE_]);
  if (!path) return {};
  const bool has_file = path.get() != Py_None;
  if (has_file && check_file_kind(path.get(), a[HANDLER_TYPE]) < 0) return {};

  if (setattr(self, N.name, a[NAME]) < 0 || setattr(self, N.file, path.get()) < 0 ||
      setattr(self, N.handler_type, a[HANDLER_TYPE]) < 0 ||
      setattr(self, N.file_level, a[LEVEL]) < 0 ||
      setattr(self, N.console, has_file ? a[CONSOLE] : Py_True) < 0 ||
      setattr(self, N.console_level, a[LEVEL]) < 0 || setattr(self, N.kwargs, a[KWARGS]) < 0)
    return {};
  if (!call_method(self, N._setup_logger)) return {};
  return none();
}

// A set-up that fails leaves the logging logger as it found it: what it
// attached is removed and closed, level, propagate and disabled put back.
Ref setup_logger(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  if (!bind_standard_logger(self)) return {};
  Ref logger = getattr(self, N._logger);
  LoggerSnapshot before;
  if (!logger || before.take(logger.get()) < 0) return {};
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
    kExtraKeywords,
};
const Param self_only[] = {{"self"}};

}  // namespace

const Signature set_logger_init_sig = {
    .name = "__init__",
    .qualname = "_SetLogger.__init__",
    .params = init_params,
    .returns = "None",
    .impl = set_logger_init,
    .uses_super = true,
};

const Signature setup_logger_sig = {
    .name = "_setup_logger",
    .qualname = "_SetLogger._setup_logger",
    .params = self_only,
    .returns = nullptr,
    .impl = setup_logger,
};

}  // namespace lm
