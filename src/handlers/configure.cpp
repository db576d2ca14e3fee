// The steps shared by both handler builders: level, formatter, filter, attach.
#include "handlers/configure.hpp"

#include "module/state.hpp"

namespace lm {

int configure_and_attach(PyObject* self, PyObject* handler_attr, PyObject* level_attr,
                         MakeFormatter make) noexcept {
  Ref handler = getattr(self, handler_attr);
  if (!handler) return -1;
  Ref level = getattr(self, level_attr);
  if (!level || !call_method(handler.get(), N.setLevel, level.get())) return -1;

  handler = getattr(self, handler_attr);
  if (!handler) return -1;
  Ref formatter = make();
  if (!formatter || !call_method(handler.get(), N.setFormatter, formatter.get())) return -1;

  handler = getattr(self, handler_attr);
  if (!handler) return -1;
  Ref filter = getattr(self, N._handler_filter);
  if (!filter || !call_method(handler.get(), N.addFilter, filter.get())) return -1;

  Ref logger = getattr(self, N._logger);
  if (!logger) return -1;
  handler = getattr(self, handler_attr);
  if (!handler || !call_method(logger.get(), N.addHandler, handler.get())) return -1;
  return 0;
}

}  // namespace lm
