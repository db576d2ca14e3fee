// close: ends a logger object and hands the logging logger back.
#include "module/methods.hpp"
#include "module/module_lock.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"
#include "variants/stack.hpp"

namespace lm {
namespace {

Ref close(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref name = getattr(self, N.name);
  Ref get_logger = logging_attr(N.getLogger);
  if (!name || !get_logger) return {};
  Ref logger = call(get_logger.get(), name.get());
  if (!logger) return {};

  ModuleLock lock;
  if (lock.enter() < 0) return {};
  // The name is read again under the lock, as each registry step reads it.
  name = getattr(self, N.name);
  Ref result = name ? close_top(self, name.get(), logger.get()) : Ref{};
  return lock.exit(std::move(result));
}

const Param params[] = {{"self"}};

}  // namespace

const Signature close_sig = {
    .name = "close",
    .qualname = "_LogBase.close",
    .params = params,
    .returns = "None",
    .impl = close,
};

}  // namespace lm
