// Class creation by calling the metaclass, as a class statement does.
#pragma once

#include <span>

#include "function/signature.hpp"

namespace lm {

struct Method {
  const Signature* sig;
  bool is_static = false;  // stored wrapped in staticmethod (for __new__)
};

// type(name, bases, ns) with __module__, __qualname__ and the methods in
// table order; the metaclass is taken from the first base (or `type`), and
// its __prepare__ makes the namespace. Functions that use super() get the
// new class as their class cell.
Ref make_class(const char* name, PyObject* bases, std::span<const Method> methods,
               PyObject* globals, PyObject* module_name) noexcept;

}  // namespace lm
