// __doc__ and __signature__ of a function, rendered from its signature table.
#pragma once

#include "function/function.hpp"

namespace lm {

// __doc__: qualname(param, ...) -> returns, each parameter as
// [type word ]name[: annotation][ = default], the variadic ones as *name
// and **name.
Ref render_doc(const Signature& sig) noexcept;

// __signature__: the inspect.Signature of f from its table and live defaults.
Ref build_inspect_signature(Func* f) noexcept;

}  // namespace lm
