// _LogBase.__init__: the eleven attributes every logger object starts with.
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

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

const Param params[] = {{"self"}};

}  // namespace

const Signature logbase_init_sig = {
    .name = "__init__",
    .qualname = "_LogBase.__init__",
    .params = params,
    .returns = nullptr,
    .impl = logbase_init,
};

}  // namespace lm
