// _SetLogger and _GetLogger: the two constructors, the stored path, and the set-up both end with.

#include "logger/constructors.hpp"

#include "function/function.hpp"
#include "handlers/logger_level.hpp"
#include "logger/methods.hpp"
#include "logger/params.hpp"
#include "registry/stack.hpp"

namespace lm {

InLogging in_logging(PyObject* name) noexcept {
  Ref registry = logging_logger_table();
  if (!registry) return InLogging::Error;
  int known = PySequence_Contains(registry.get(), name);
  if (known <= 0) return known < 0 ? InLogging::Error : InLogging::Absent;
  // A placeholder only stands for the loggers below the name: it has no
  // level, handlers or state of its own, and getLogger(name) replaces it.
  Ref entry = Ref::steal(PyObject_GetItem(registry.get(), name));
  Ref placeholder = entry ? logging_attr(N.PlaceHolder) : Ref{};
  if (!placeholder) return InLogging::Error;
  int is_placeholder = PyObject_IsInstance(entry.get(), placeholder.get());
  if (is_placeholder < 0) return InLogging::Error;
  return is_placeholder ? InLogging::Placeholder : InLogging::Logger;
}

namespace {

// os.path.normpath(os.path.abspath(file)) for a non-empty str, else None
// (file is a str or None, as the constructors check).
Ref stored_path(PyObject* file) noexcept {
  int non_empty = PyObject_IsTrue(file);
  if (non_empty < 0) return {};
  if (!non_empty) return none();
  Ref os = global(N.os);
  if (!os) return {};
  Ref os_path = getattr(os.get(), N.path);
  if (!os_path) return {};
  Ref absolute = call_method(os_path.get(), N.abspath, file);
  if (!absolute) return {};
  return call_method(os_path.get(), N.normpath, absolute.get());
}

// self._logger = logging.getLogger(self.name); returns self.name.
Ref bind_standard_logger(PyObject* self) noexcept {
  Ref get_logger = logging_attr(N.getLogger);
  if (!get_logger) return {};
  Ref name = getattr(self, N.name);
  if (!name) return {};
  Ref logger = call(get_logger.get(), name.get());
  if (!logger || setattr(self, N._logger, logger.get()) < 0) return {};
  return name;
}

// The set-up both constructors end with: no propagation, the filter, then
// the console and the file handler; the logger's level is set once, from
// the handlers it then carries.
int setup_standard_logger(PyObject* self) noexcept {
  Ref logger = getattr(self, N._logger);
  if (!logger || setattr(logger.get(), N.propagate, Py_False) < 0) return -1;

  Ref filter_class = global(N._ContextFilter);
  if (!filter_class) return -1;
  Ref name = getattr(self, N.name);
  if (!name) return -1;
  Ref filter = call(filter_class.get(), name.get());
  if (!filter || setattr(self, N._handler_filter, filter.get()) < 0) return -1;

  if (!call_method(self, N._create_console_handler)) return -1;
  if (!call_method(self, N._create_file_handler)) return -1;
  // A builder that attached a handler set the level (before the file was
  // registered, so that nothing fails after the registration); without one
  // the level still follows the handlers the logger carries.
  int built = attr_truth(self, N._console_handler);
  if (built == 0) built = attr_truth(self, N._file_handler);
  if (built) return built < 0 ? -1 : 0;
  return follow_handlers(logger.get());
}

// The set-up of a logger no take-over captured; if it fails it leaves the
// logging logger as it found it: what it attached is removed and closed,
// level, propagate and disabled put back.
int guarded_setup(PyObject* self, PyObject* logger) noexcept {
  LoggerSnapshot before;
  if (before.take(logger) < 0 || Configuring::note_logger(before) < 0) return -1;
  if (setup_standard_logger(self) < 0) {
    before.restore();
    return -1;
  }
  return 0;
}

constexpr Param configuring_params[] = {
    {"self"},
    {.name = "name", .check = Check::Str, .annotation = "str"},
    kLevelParam,
    kFileParam,
    kHandlerTypeParam,
    kConsoleParam,
    kExtraKeywords,
};

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
  raise_value_error({"处理器冲突：日志文件 ", path, " 新增处理器类型 ", handler_type,
                     " 与已有处理器类型 ", existing.get(), " 冲突"});
  return -1;
}

Ref set_logger_init(Func* f, Bound& a) noexcept {
  constexpr LoggerArgs arg = logger_args(configuring_params);
  PyObject* self = a[0];
  if (!super_call(f, self, N.__init__)) return {};

  InLogging found = in_logging(a[arg.name]);
  if (found == InLogging::Error) return {};
  if (found == InLogging::Logger) {
    raise_value_error({a[arg.name], " 已存在"});
    return {};
  }
  Ref path = stored_path(a[arg.file]);
  if (!path) return {};
  const bool has_file = path.get() != Py_None;
  if (has_file && check_file_kind(path.get(), a[arg.handler_type]) < 0) return {};

  if (setattr(self, N.name, a[arg.name]) < 0 || setattr(self, N.file, path.get()) < 0 ||
      setattr(self, N.handler_type, a[arg.handler_type]) < 0 ||
      setattr(self, N.file_level, a[arg.level]) < 0 ||
      setattr(self, N.console, has_file ? a[arg.console] : Py_True) < 0 ||
      setattr(self, N.console_level, a[arg.level]) < 0 || setattr(self, N.kwargs, a[arg.kwargs]) < 0)
    return {};
  if (!call_method(self, N._setup_logger)) return {};
  return none();
}

Ref setup_logger(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  if (!bind_standard_logger(self)) return {};
  Ref logger = getattr(self, N._logger);
  if (!logger || guarded_setup(self, logger.get()) < 0) return {};
  return none();
}

constexpr Param capturing_params[] = {
    {"self"},
    {.name = "name", .check = Check::Str, .annotation = "str"},
    kLevelParam,
    kFileParam,
    kHandlerTypeParam,
    kConsoleParam,
    kRehandlerParam,
    kExtraKeywords,
};

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
  constexpr LoggerArgs arg = logger_args(capturing_params);
  PyObject* self = a[0];
  if (!super_call(f, self, N.__init__)) return {};
  Ref name = object_name(a[arg.name], a[arg.rehandler]);
  if (!name || setattr(self, N.name, name.get()) < 0) return {};
  Ref path = stored_path(a[arg.file]);
  if (!path || setattr(self, N.file, path.get()) < 0) return {};
  if (setattr(self, N.handler_type, a[arg.handler_type]) < 0 ||
      setattr(self, N.file_level, a[arg.level]) < 0 || setattr(self, N.console, a[arg.console]) < 0 ||
      setattr(self, N.console_level, a[arg.level]) < 0 ||
      setattr(self, N.rehandler, a[arg.rehandler]) < 0 || setattr(self, N.kwargs, a[arg.kwargs]) < 0)
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
  if (guarded_setup(self, logger.get()) < 0) return {};
  return none();
}

}  // namespace

const Signature set_logger_init_sig = {
    .name = "__init__",
    .qualname = "_SetLogger.__init__",
    .params = configuring_params,
    .returns = "None",
    .impl = set_logger_init,
    .uses_super = true,
};

const Signature setup_logger_sig = {
    .name = "_setup_logger",
    .qualname = "_SetLogger._setup_logger",
    .params = kSelfOnly,
    .returns = nullptr,
    .impl = setup_logger,
};

const Signature get_logger_init_sig = {
    .name = "__init__",
    .qualname = "_GetLogger.__init__",
    .params = capturing_params,
    .returns = "None",
    .impl = get_logger_init,
    .uses_super = true,
};

const Signature captures_logger_sig = {
    .name = "_captures_logger",
    .qualname = "_GetLogger._captures_logger",
    .params = kSelfOnly,
    .returns = nullptr,
    .impl = captures_logger,
};

}  // namespace lm
