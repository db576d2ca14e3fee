// Func: the one function-object type behind every function of the module.
#pragma once

#include "function/signature.hpp"

namespace lm {

// Mirrors a Python function object: writable __doc__/__module__/__name__/
// __qualname__/__defaults__/__kwdefaults__/__annotations__, a __dict__, and
// method binding through __get__. It is a method descriptor with vectorcall,
// so obj.method(...) reaches the implementation with no bound method made.
struct Func {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const Signature* sig;
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* doc;
  PyObject* module;
  PyObject* globals;      // dict the function reads its globals from
  PyObject* annotations;  // dict or NULL
  PyObject* defaults;     // tuple or NULL
  PyObject* kwdefaults;   // dict or NULL
  PyObject* klass;        // class cell: the class that defines it, or NULL
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* param_names[kMaxParams];  // interned, in signature order
  Shape shape;                        // the table's argument shape
};

extern PyTypeObject FuncType;

// The general entry of every function: binds the call to the signature,
// then runs the implementation.
PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept;

int func_type_ready() noexcept;

// Makes a function from its signature; defaults are evaluated now, reading
// any global they need from `globals`.
Ref make_function(const Signature& sig, PyObject* globals, PyObject* module_name) noexcept;

// f's __defaults__ and __kwdefaults__ (and __annotations__ when asked), read
// together as one consistent state: without the GIL another thread may be
// rebinding them meanwhile. Each is empty when unset.
struct Snapshot {
  Ref defaults, kwdefaults, annotations;
};
Snapshot snapshot(Func* f, bool with_annotations = false) noexcept;

// Sets the class cell used by zero-argument super().
void set_class_cell(PyObject* func, PyObject* klass) noexcept;

// super().<name>(), as zero-argument super() in a method of f's class:
// `super` is looked up as a global of f at call time.
Ref super_call(Func* f, PyObject* self, PyObject* name) noexcept;

}  // namespace lm
