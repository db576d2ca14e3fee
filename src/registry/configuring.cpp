// Configuring: a configuring construction by the factory, registered, or put back when that fails.
#include <utility>

#include "registry/records.hpp"
#include "registry/registries.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

Configuring* configuring = nullptr;  // the one under way, if any

}  // namespace

Configuring::Configuring(PyObject* name, bool placeholder) noexcept
    : name_(Ref::borrow(name)), placeholder_(placeholder), outer_(configuring) {
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

// For a placeholder's name, the held entry at (name, 0): no handler, and
// the logger as the set-up found it, just made by logging.
int Configuring::hold_logger_as_made(Ref& key, Ref& entry) noexcept {
  if (!placeholder_ || !before_.logger) return 0;
  Ref no_handlers = Ref::steal(PyTuple_New(0));
  Ref detached = no_handlers ? Ref::steal(PyList_New(0)) : Ref{};
  Ref bottom = detached ? position(0) : Ref{};
  Ref made = bottom ? make_held_entry(no_handlers.get(), detached.get(), before_.state.get())
                    : Ref{};
  Ref at = made ? held_entry_key(name_.get(), bottom.get()) : Ref{};
  if (!at || PyDict_SetItem(state.captured, at.get(), made.get()) < 0) return -1;
  key = std::move(at);
  entry = std::move(made);
  return 0;
}

Ref Configuring::register_object(PyObject* obj) noexcept {
  Ref key, entry;
  if (hold_logger_as_made(key, entry) == 0) {
    Ref registered = register_configured(name_.get(), obj);
    if (registered) return registered;
  }
  if (entry || file_.registry) {
    Undoing undoing;
    if (entry) drop_if_unchanged(state.captured, key.get(), entry.get(), undoing.pending);
    if (file_.registry)
      drop_if_unchanged(file_.registry.get(), file_.path.get(), file_.kind.get(),
                        undoing.pending);
    undoing.done(name_.get());
  }
  if (before_.logger) before_.restore();
  return {};
}

}  // namespace lm
