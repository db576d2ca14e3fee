// What both variants share: stored paths, the registry test, the set-up.
#include "variants/shared.hpp"

#include "module/state.hpp"

namespace lm {

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

int known_to_logging(PyObject* name) noexcept {
  Ref logger_class = logging_attr(N.Logger);
  if (!logger_class) return -1;
  Ref manager = getattr(logger_class.get(), N.manager);
  if (!manager) return -1;
  Ref registry = getattr(manager.get(), N.loggerDict);
  if (!registry) return -1;
  return PySequence_Contains(registry.get(), name);
}

Ref bind_standard_logger(PyObject* self) noexcept {
  Ref get_logger = logging_attr(N.getLogger);
  Ref name = getattr(self, N.name);
  if (!get_logger || !name) return {};
  Ref logger = call(get_logger.get(), name.get());
  if (!logger || setattr(self, N._logger, logger.get()) < 0) return {};
  return name;
}

int setup_standard_logger(PyObject* self) noexcept {
  Ref logger = getattr(self, N._logger);
  Ref debug = logging_attr(N.DEBUG);
  if (!logger || !debug || !call_method(logger.get(), N.setLevel, debug.get())) return -1;
  logger = getattr(self, N._logger);
  if (!logger || setattr(logger.get(), N.propagate, Py_False) < 0) return -1;

  Ref filter_class = global(N._ContextFilter);
  Ref name = getattr(self, N.name);
  if (!filter_class || !name) return -1;
  Ref filter = call(filter_class.get(), name.get());
  if (!filter || setattr(self, N._handler_filter, filter.get()) < 0) return -1;

  if (!call_method(self, N._create_console_handler)) return -1;
  if (!call_method(self, N._create_file_handler)) return -1;
  return 0;
}

}  // namespace lm
