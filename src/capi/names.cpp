// The interned names, made once for the process.
#include "capi/names.hpp"

namespace lm {

Names interned;

int init_names() noexcept {
  if (interned.logging) return 0;  // interned once for the process
  Names fresh;
#define LM_NAME_INIT(field, text)                  \
  fresh.field = PyUnicode_InternFromString(text); \
  if (!fresh.field) return -1;
  LM_NAMES(LM_NAME_INIT)
#undef LM_NAME_INIT
  interned = fresh;
  return 0;
}

}  // namespace lm
