// Level control and switching: per-output thresholds, disable and enable.
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

// Stores the level, then applies it to the handler if there is one (the
// attribute is read again for the call).
Ref set_output_level(PyObject* self, PyObject* level, PyObject* level_attr,
                     PyObject* handler_attr) noexcept {
  if (setattr(self, level_attr, level) < 0) return {};
  int present = attr_truth(self, handler_attr);
  if (present < 0) return {};
  if (present) {
    Ref handler = getattr(self, handler_attr);
    if (!handler) return {};
    Ref r = call_method(handler.get(), N.setLevel, level);
    if (!r) return {};
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

const Param level_params[] = {{"self"},
                              {.name = "level", .check = Check::Int, .annotation = "int"}};
const Param self_only[] = {{"self"}};
const Param enable_params[] = {{"self"}, {.name = "value", .annotation = "logging.Logger"}};

}  // namespace

const Signature disable_sig = {
    .name = "disable",
    .qualname = "_LogBase.disable",
    .params = self_only,
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
    .params = level_params,
    .returns = "None",
    .impl = set_console_level,
};

const Signature set_file_level_sig = {
    .name = "set_file_level",
    .qualname = "_LogBase.set_file_level",
    .params = level_params,
    .returns = "None",
    .impl = set_file_level,
};

}  // namespace lm
