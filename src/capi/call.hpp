// Calls, attribute access, module globals and the with statement, returning Ref.
#pragma once

#include <initializer_list>
#include <utility>

#include "capi/ref.hpp"

namespace lm {

inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
  return Ref::steal(PyObject_GetAttr(obj, name));
}

inline int setattr(PyObject* obj, PyObject* name, PyObject* value) noexcept {
  return PyObject_SetAttr(obj, name, value);
}

// callable(args...), positional only. The slot before the arguments lets the
// callee prepend a bound self without copying (PY_VECTORCALL_ARGUMENTS_OFFSET).
template <class... A>
Ref call(PyObject* callable, A... args) noexcept {
  PyObject* stack[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(
      callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...) without creating a bound-method object.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) noexcept {
  PyObject* stack[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*pos, **dict(kw)): keywords given as (interned name, value) pairs.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> pos,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kw) noexcept;

// callable(*pos, **kwargs) with a dict (or NULL) of keywords.
Ref call_dict(PyObject* callable, std::initializer_list<PyObject*> pos,
              PyObject* kwargs) noexcept;

// Truth value of an attribute: 1 true, 0 false, -1 error.
int attr_truth(PyObject* obj, PyObject* name) noexcept;

// Whether testing the truth of an instance of `t` runs no Python code (it is
// always true).
inline bool truth_runs_nothing(PyTypeObject* t) noexcept {
  return !(t->tp_as_number && t->tp_as_number->nb_bool) &&
         !(t->tp_as_mapping && t->tp_as_mapping->mp_length) &&
         !(t->tp_as_sequence && t->tp_as_sequence->sq_length);
}

// id(obj): the object's address as an int.
inline Ref py_id(PyObject* obj) noexcept { return Ref::steal(PyLong_FromVoidPtr(obj)); }

// Builds a str from UTF-8 text; empty Ref on error.
inline Ref str(const char* utf8) noexcept { return Ref::steal(PyUnicode_FromString(utf8)); }

// Concatenates str objects; each piece must be a str.
Ref concat(std::initializer_list<PyObject*> pieces) noexcept;

// A piece of a message: a str object or UTF-8 text.
struct Piece {
  Piece(PyObject* o) noexcept : obj(o) {}
  Piece(const char* t) noexcept : text(t) {}
  PyObject* obj = nullptr;
  const char* text = nullptr;
};

// Raises ValueError with the pieces concatenated (the module's own errors
// are built this way).
void raise_value_error(std::initializer_list<Piece> pieces) noexcept;


// Returns globals[name], else builtins[name], else raises NameError
// "name '%U' is not defined".
Ref lookup_global(PyObject* globals, PyObject* name) noexcept;


// Enters a context manager looked up on its type, as `with` does.
// Usage:  With w; if (w.enter(mgr) < 0) return {};  ...  return w.exit(result);
//
// Leaving cannot fail for want of memory: enter() binds __exit__ and makes
// a (None, None, None) argument tuple before it calls __enter__, so that
// exit() can always make the call (a lock whose __exit__ is a C method is
// then released even when memory has run out). With an exception in flight
// exit() passes a new (type, value, traceback), or that spare tuple when no
// memory is left for one. What __exit__ itself runs is its own business.
class With {
 public:
  With() noexcept = default;
  With(const With&) = delete;
  With& operator=(const With&) = delete;

  int enter(PyObject* manager) noexcept;

  // Leaves the block. With `result` empty, an exception is in flight: it is
  // passed to __exit__, which may suppress it (then None is returned).
  // An exception from __exit__ itself replaces the result.
  Ref exit(Ref result) noexcept;

  // Drops the bound __exit__ without calling it.
  void abandon() noexcept {
    exit_.reset();
    args_.reset();
  }

 private:
  // __exit__ bound to the manager, and the spare (None, None, None).
  Ref exit_, args_;
};

// Raises `inner` with `outer` as its __context__, as an exception raised
// while `outer` is handled gets it; re-raising `outer` itself chains
// nothing. Steals both; never allocates.
void raise_chained(PyObject* inner, PyObject* outer) noexcept;

}  // namespace lm
