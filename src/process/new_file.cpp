// The new file a configuring construction registered.
#include "process/new_file.hpp"

namespace lm {
namespace {

NewFile* innermost = nullptr;  // the construction under way, if any

}  // namespace

NewFile::NewFile() noexcept : outer_(innermost) { innermost = this; }

NewFile::~NewFile() { innermost = outer_; }

void NewFile::note(PyObject* registry, PyObject* path, PyObject* kind) noexcept {
  if (!innermost || innermost->registry) return;
  innermost->registry = Ref::borrow(registry);
  innermost->path = Ref::borrow(path);
  innermost->kind = Ref::borrow(kind);
}

}  // namespace lm
