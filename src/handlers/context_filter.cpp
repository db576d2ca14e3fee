// _ContextFilter: the filter on a logger object's handlers that names each record after the object.
#include "function/function.hpp"
#include "handlers/handlers.hpp"
#include "process/state.hpp"

namespace lm {
namespace {

Ref filter_init(Func* f, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref r = super_call(f, self, N.__init__);
  if (!r) return {};
  if (setattr(self, N._logger_name, a[1]) < 0) return {};
  return none();
}

// Besides the name, the filter drops the traceback text a handler before
// this one may have cached on the record: the console's formatter caches it
// with colour codes, which must not reach the file. Each handler's formatter
// then renders the traceback from exc_info itself.
Ref filter_filter(Func*, Bound& a) noexcept {
  PyObject* record = a[1];
  Ref name = getattr(a[0], N._logger_name);
  if (!name || setattr(record, N.name, name.get()) < 0) return {};
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(record, N.exc_info, &found) < 0) return {};
  Ref exc_info = Ref::steal(found);
  if (exc_info && exc_info.get() != Py_None) {
    int truthy = PyObject_IsTrue(exc_info.get());
    if (truthy < 0 || (truthy && setattr(record, N.exc_text, Py_None) < 0)) return {};
  }
  return boolean(true);
}

const Param filter_init_params[] = {
    {"self"}, {.name = "logger_name", .check = Check::Str, .annotation = "str"}};
const Param filter_params[] = {{"self"}, {.name = "record", .annotation = "logging.LogRecord"}};

}  // namespace

const Signature filter_init_sig = {
    .name = "__init__",
    .qualname = "_ContextFilter.__init__",
    .params = filter_init_params,
    .returns = nullptr,
    .impl = filter_init,
    .uses_super = true,
};

const Signature filter_filter_sig = {
    .name = "filter",
    .qualname = "_ContextFilter.filter",
    .params = filter_params,
    .returns = "bool",
    .impl = filter_filter,
};

}  // namespace lm
