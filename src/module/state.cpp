// The process-wide state of the module: its namespace and interned names.
#include "module/state.hpp"

namespace lm {

State state;

int init_names() noexcept {
  if (state.names.logging) return 0;  // interned once for the process
  Names fresh;
#define LM_NAME_INIT(field, text)                            \
  fresh.field = PyUnicode_InternFromString(text);           \
  if (!fresh.field) return -1;
  LM_NAMES(LM_NAME_INIT)
#undef LM_NAME_INIT
  state.names = fresh;
  return 0;
}

Ref logging_attr(PyObject* attr) noexcept {
  Ref logging = global(N.logging);
  if (!logging) return {};
  return getattr(logging.get(), attr);
}

}  // namespace lm
