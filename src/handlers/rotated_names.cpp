// Rotated-file names for "timerotating": run.log.2024-05-01 -> run.2024-05-01.log.
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

// Only the base name (the last path component) is edited: every ".log" in
// it is deleted and ".log" appended. The directories stay as they are, so a
// directory such as /srv/my.logs/ is never rewritten.
Ref namer(Func*, Bound& a) noexcept {
  PyObject* name = a[0];
  if (!PyUnicode_Check(name)) {
    raise_arg_type("name", "str", name);
    return {};
  }
  const Py_ssize_t len = PyUnicode_GET_LENGTH(name);
  const Py_ssize_t slash = PyUnicode_FindChar(name, '/', 0, len, -1);
  if (slash == -2) return {};
  const Py_ssize_t base_at = slash + 1;  // 0 when there is no directory part
  Ref head = Ref::steal(PyUnicode_Substring(name, 0, base_at));
  Ref base = Ref::steal(PyUnicode_Substring(name, base_at, len));
  if (!head || !base) return {};
  Ref stripped = Ref::steal(PyUnicode_Replace(base.get(), N.s_dotlog, N.s_empty, -1));
  if (!stripped) return {};
  return concat({head.get(), stripped.get(), N.s_dotlog});
}

const Param params[] = {{.name = "name", .annotation = "str"}};

}  // namespace

const Signature namer_sig = {
    .name = "namer",
    .qualname = "_LogBase._create_file_handler.<locals>.namer",
    .params = params,
    .returns = "str",
    .impl = namer,
};

}  // namespace lm
