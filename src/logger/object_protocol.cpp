// The logger object in a with statement and in repr(): __enter__, __exit__ and __repr__.

#include "function/function.hpp"
#include "logger/methods.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

Ref enter(Func*, Bound& a) noexcept { return Ref::borrow(a[0]); }

// The end of the with block, however it ends: self.close(), looked up on
// the object. The block's exception is never suppressed (None is
// returned); one that close() raises meanwhile has it as its __context__.
Ref exit_block(Func*, Bound& a) noexcept {
  if (!call_method(a[0], N.close)) return {};
  return none();
}

// The name logging has for `level` now (logging.getLevelName), or repr(level)
// where it has none: for a value other than an int, and where the answer
// is not a str or is the "Level %s" logging makes for an unnamed level.
Ref level_text(PyObject* level) noexcept {
  if (!PyLong_CheckExact(level)) return Ref::steal(PyObject_Repr(level));
  Ref get_level_name = logging_attr(N.getLevelName);
  if (!get_level_name) return {};
  Ref name = call(get_level_name.get(), level);
  if (!name) return {};
  if (PyUnicode_Check(name.get())) {
    Ref unnamed = Ref::steal(PyUnicode_FromFormat("Level %S", level));
    if (!unnamed) return {};
    int same = PyUnicode_Compare(name.get(), unnamed.get());
    if (same == -1 && PyErr_Occurred()) return {};
    if (same != 0) return name;
  }
  return Ref::steal(PyObject_Repr(level));
}

// The level held in self's attribute `attr`, as level_text gives it.
Ref level_attr_text(PyObject* self, PyObject* attr) noexcept {
  Ref level = getattr(self, attr);
  if (!level) return {};
  return level_text(level.get());
}

// " (rotating)": the file kind, shown only with a file.
Ref kind_text(PyObject* self, PyObject* file) noexcept {
  if (file == Py_None) return Ref::borrow(N.s_empty);
  Ref handler_type = getattr(self, N.handler_type);
  if (!handler_type) return {};
  return Ref::steal(PyUnicode_FromFormat(" (%S)", handler_type.get()));
}

// "<_SetLogger 'app' file='/abs/app.log' (rotating) console_level=DEBUG
// file_level=INFO>", ending in " closed" for an object close() has ended,
// else in " disabled" while its _logger is None. The attributes are read
// in the order they are shown.
Ref repr(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref cls = Ref::steal(PyType_GetQualName(Py_TYPE(self)));
  if (!cls) return {};
  Ref name = getattr(self, N.name);
  if (!name) return {};
  Ref file = getattr(self, N.file);
  if (!file) return {};
  Ref kind = kind_text(self, file.get());
  if (!kind) return {};
  Ref console_level = level_attr_text(self, N.console_level);
  if (!console_level) return {};
  Ref file_level = level_attr_text(self, N.file_level);
  if (!file_level) return {};
  Ref logger = getattr(self, N._logger);
  if (!logger) return {};
  const int closed = was_closed(self);
  if (closed < 0) return {};
  const char* state = closed ? " closed" : logger.get() == Py_None ? " disabled" : "";
  return Ref::steal(PyUnicode_FromFormat("<%U %R file=%R%U console_level=%U file_level=%U%s>",
                                         cls.get(), name.get(), file.get(), kind.get(),
                                         console_level.get(), file_level.get(), state));
}

const Param exit_params[] = {
    {"self"},
    {.name = "exc_type", .annotation = "Optional[type[BaseException]]"},
    {.name = "exc_value", .annotation = "Optional[BaseException]"},
    {.name = "traceback", .annotation = "Optional[TracebackType]"},
};

}  // namespace

const Signature enter_sig = {
    .name = "__enter__",
    .qualname = "_LogBase.__enter__",
    .params = kSelfOnly,
    .returns = "'_LogBase'",
    .impl = enter,
};

const Signature exit_sig = {
    .name = "__exit__",
    .qualname = "_LogBase.__exit__",
    .params = exit_params,
    .returns = "None",
    .impl = exit_block,
};

const Signature repr_sig = {
    .name = "__repr__",
    .qualname = "_LogBase.__repr__",
    .params = kSelfOnly,
    .returns = "str",
    .impl = repr,
};

}  // namespace lm
