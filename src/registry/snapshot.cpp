// LoggerSnapshot: a logging logger's level, propagate, disabled and handlers, taken and put back.
#include <iterator>

#include "registry/hand_back.hpp"
#include "registry/registries.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

// The logger's attributes of record_keys::kLoggerState, read now in that
// order, as a tuple.
Ref read_logger_state(PyObject* logger) noexcept {
  constexpr std::size_t n = std::size(record_keys::kLoggerState);
  static_assert(n == 3, "the tuple is packed from three values");
  Ref values[n];
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = getattr(logger, N.*record_keys::kLoggerState[i]);
    if (!values[i]) return {};
  }
  return Ref::steal(PyTuple_Pack(n, values[0].get(), values[1].get(), values[2].get()));
}

}  // namespace

int LoggerSnapshot::take(PyObject* of) noexcept {
  logger = Ref::borrow(of);
  state = read_logger_state(of);
  Ref current = state ? getattr(of, N.handlers) : Ref{};
  handlers = current ? Ref::steal(PySequence_Tuple(current.get())) : Ref{};
  return handlers ? 0 : -1;
}

void LoggerSnapshot::restore() noexcept {
  Undoing undoing;
  Pending& pending = undoing.pending;
  if (handlers) {
    if (remove_handlers(logger.get(), handlers.get(), nullptr, pending) < 0) pending.keep();
    restore_logger_state(logger.get(), state.get(), pending);
  }
  Ref name = getattr(logger.get(), N.name);
  if (!name) pending.keep();
  undoing.done(name ? name.get() : Py_None);
}

}  // namespace lm
