// Configuring: a configuring construction by the factory, registered, or put back when that fails.
#include "registry/registries.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

Configuring* configuring = nullptr;  // the one under way, if any

}  // namespace

Configuring::Configuring(PyObject* name) noexcept : name_(Ref::borrow(name)), outer_(configuring) {
  configuring = this;
}

Configuring::~Configuring() { configuring = outer_; }

int Configuring::note_logger(const LoggerSnapshot& before) noexcept {
  if (!configuring || configuring->before_.logger) return 0;
  // Only the logger of the name being configured: a set-up that user code
  // runs meanwhile for another name is not this construction's.
  Ref name = getattr(before.logger.get(), N.name);
  int same = name ? PyObject_RichCompareBool(name.get(), configuring->name_.get(), Py_EQ) : -1;
  if (same <= 0) return same;
  LoggerSnapshot& mine = configuring->before_;
  mine.logger = before.logger.copy();
  mine.state = before.state.copy();
  mine.handlers = before.handlers.copy();
  return 0;
}

Ref Configuring::register_object(PyObject* obj) noexcept {
  Ref registered = register_configured(name_.get(), obj);
  if (registered) return registered;
  if (file_.registry) {
    Undoing undoing;
    drop_if_unchanged(file_.registry.get(), file_.path.get(), file_.kind.get(), undoing.pending);
    undoing.done(name_.get());
  }
  if (before_.logger) before_.restore();
  return {};
}

}  // namespace lm
