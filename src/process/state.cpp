// The module's process-wide state, and the globals read from its namespace.
#include "process/state.hpp"

namespace lm {

State state;

Ref logging_attr(PyObject* attr) noexcept {
  Ref logging = global(N.logging);
  if (!logging) return {};
  return getattr(logging.get(), attr);
}

Ref logging_logger_table() noexcept {
  Ref logger_class = logging_attr(N.Logger);
  if (!logger_class) return {};
  Ref manager = getattr(logger_class.get(), N.manager);
  if (!manager) return {};
  return getattr(manager.get(), N.loggerDict);
}

Ref registry_dict(PyObject* name) noexcept {
  Ref r = global(name);
  if (r && !PyDict_Check(r.get())) {
    PyErr_Format(PyExc_TypeError, "%U must be a dict, not %.200s", name, Py_TYPE(r.get())->tp_name);
    return {};
  }
  return r;
}

}  // namespace lm
