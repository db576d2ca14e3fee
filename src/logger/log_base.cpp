// The logger object's own methods: __init__, the output levels, disable, enable and close.

#include "function/function.hpp"
#include "handlers/logger_level.hpp"
#include "logger/methods.hpp"
#include "process/lock.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

Ref logbase_init(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref kwargs;
  // Each value is made right before its assignment, in attribute order.
  if (setattr(self, N.name, Py_None) < 0 || setattr(self, N.file, Py_None) < 0 ||
      setattr(self, N.handler_type, Py_None) < 0)
    return {};
  Ref debug = logging_attr(N.DEBUG);
  if (!debug || setattr(self, N.file_level, debug.get()) < 0) return {};
  if (setattr(self, N.console, Py_True) < 0) return {};
  debug = logging_attr(N.DEBUG);
  if (!debug || setattr(self, N.console_level, debug.get()) < 0) return {};
  kwargs = Ref::steal(PyDict_New());
  if (!kwargs || setattr(self, N.kwargs, kwargs.get()) < 0) return {};
  if (setattr(self, N._logger, Py_None) < 0 || setattr(self, N._file_handler, Py_None) < 0 ||
      setattr(self, N._console_handler, Py_None) < 0 ||
      setattr(self, N._handler_filter, Py_None) < 0)
    return {};
  return none();
}

// logging.getLogger(self.name): the logging logger of the object's name,
// found by name (not through _logger), so also for a disabled object.
Ref logger_of_name(PyObject* self) noexcept {
  Ref name = getattr(self, N.name);
  if (!name) return {};
  Ref get_logger = logging_attr(N.getLogger);
  if (!get_logger) return {};
  return call(get_logger.get(), name.get());
}

// The logging logger of the object's name follows the new level of
// `handler` if it carries it.
int logger_follows(PyObject* self, PyObject* handler) noexcept {
  Ref logger = logger_of_name(self);
  return logger ? follow_handler(logger.get(), handler) : -1;
}

// Stores the level, then applies it to the handler if there is one (the
// attribute is read again for the call), and to the logger that carries it.
Ref set_output_level(PyObject* self, PyObject* level, PyObject* level_attr,
                     PyObject* handler_attr) noexcept {
  if (setattr(self, level_attr, level) < 0) return {};
  int present = attr_truth(self, handler_attr);
  if (present < 0) return {};
  if (present) {
    Ref handler = getattr(self, handler_attr);
    if (!handler) return {};
    Ref r = call_method(handler.get(), N.setLevel, level);
    if (!r || logger_follows(self, handler.get()) < 0) return {};
  }
  return none();
}

Ref set_file_level(Func*, Bound& a) noexcept {
  return set_output_level(a[0], a[1], N.file_level, N._file_handler);
}

Ref set_console_level(Func*, Bound& a) noexcept {
  return set_output_level(a[0], a[1], N.console_level, N._console_handler);
}

Ref disable(Func*, Bound& a) noexcept {
  if (setattr(a[0], N._logger, Py_None) < 0) return {};
  return none();
}

Ref enable(Func*, Bound& a) noexcept {
  if (setattr(a[0], N._logger, a[1]) < 0) return {};
  return none();
}

// set_console_level and set_file_level: (self, level).
const Param set_level_params[] = {{"self"},
                                  {.name = "level", .check = Check::Int, .annotation = "int"}};
const Param enable_params[] = {{"self"}, {.name = "value", .annotation = "logging.Logger"}};

Ref close(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref logger = logger_of_name(self);
  if (!logger) return {};

  ModuleLock lock;
  if (lock.enter() < 0) return {};
  // The name is read again under the lock, as each registry step reads it.
  Ref name = getattr(self, N.name);
  Ref result = name ? close_top(self, name.get(), logger.get()) : Ref{};
  return lock.exit(std::move(result));
}

}  // namespace

const Signature logbase_init_sig = {
    .name = "__init__",
    .qualname = "_LogBase.__init__",
    .params = kSelfOnly,
    .returns = nullptr,
    .impl = logbase_init,
};

const Signature disable_sig = {
    .name = "disable",
    .qualname = "_LogBase.disable",
    .params = kSelfOnly,
    .returns = "None",
    .impl = disable,
};

const Signature enable_sig = {
    .name = "enable",
    .qualname = "_LogBase.enable",
    .params = enable_params,
    .returns = "None",
    .impl = enable,
};

const Signature set_console_level_sig = {
    .name = "set_console_level",
    .qualname = "_LogBase.set_console_level",
    .params = set_level_params,
    .returns = "None",
    .impl = set_console_level,
};

const Signature set_file_level_sig = {
    .name = "set_file_level",
    .qualname = "_LogBase.set_file_level",
    .params = set_level_params,
    .returns = "None",
    .impl = set_file_level,
};

const Signature close_sig = {
    .name = "close",
    .qualname = "_LogBase.close",
    .params = kSelfOnly,
    .returns = "None",
    .impl = close,
};

}  // namespace lm
