// Declarative signatures: the facts of each function (names, kinds, checks,
// annotations, defaults, docstring) stand in one table entry.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "capi/ref.hpp"

namespace lm {

struct Func;
class Bound;

enum class Kind : std::uint8_t {
  Positional,     // positional or keyword
  VarPositional,  // *name
  KeywordOnly,    // after *name
  VarKeyword,     // **name
};

// Exact-type test made on entry ("str name"): subclasses are refused.
enum class Check : std::uint8_t { Any, Str, Int, Tuple, Dict };

// A default evaluated once, when the function object is made.
struct Default {
  enum class Tag : std::uint8_t { Required, None, True, False, Str, GlobalAttr };
  Tag tag = Tag::Required;
  const char* text = nullptr;    // Str: the text
  const char* global = nullptr;  // GlobalAttr: the global's name,
  const char* attr = nullptr;    // and its attribute, read and checked as int or None
};

inline constexpr Default kRequired{};
inline constexpr Default kNone{Default::Tag::None};
inline constexpr Default kTrue{Default::Tag::True};
inline constexpr Default kFalse{Default::Tag::False};
constexpr Default dflt_str(const char* s) { return {.tag = Default::Tag::Str, .text = s}; }
constexpr Default dflt_global_int(const char* global, const char* attr) {
  return {.tag = Default::Tag::GlobalAttr, .global = global, .attr = attr};
}

struct Param {
  const char* name;
  Kind kind = Kind::Positional;
  Check check = Check::Any;
  bool none_ok = false;               // None passes the check (Optional[...])
  const char* annotation = nullptr;   // stored as text in __annotations__
  Default dflt = kRequired;
};

// The implementation receives the bound arguments; it returns a new
// reference, or an empty Ref with the exception set.
using Impl = Ref (*)(Func* self, Bound& args) noexcept;

// One table entry per function: __doc__ (the signature line), __signature__
// and the binder's shape are all derived from it.
struct Signature {
  const char* name;       // __name__, also used in argument errors
  const char* qualname;   // __qualname__
  std::span<const Param> params;
  const char* returns;    // return annotation text, or nullptr
  Impl impl;
  bool uses_super = false;  // needs the class cell of its class
  // A specialised entry chosen when the function is made, for calls it can
  // serve without the binder; it hands any other call to func_vectorcall.
  vectorcallfunc entry = nullptr;
};

inline constexpr int kMaxParams = 8;

// The table of a method that takes only the object.
inline constexpr Param kSelfOnly[] = {{"self"}};

// The type word of an exact-type check ("str name"), or nullptr.
constexpr const char* type_word(Check c) {
  switch (c) {
    case Check::Str: return "str";
    case Check::Int: return "int";
    case Check::Tuple: return "tuple";
    case Check::Dict: return "dict";
    case Check::Any: break;
  }
  return nullptr;
}

// Not constexpr, and never defined: reached while compiling, it makes a
// parameter name that is not in its table a compile error.
void no_parameter_of_that_name() noexcept;

// The position of a parameter in its table (the index into Bound), found
// when compiling; -1 for an absent one only when it is not `required`.
template <std::size_t N>
consteval int param_index(const Param (&params)[N], std::string_view name,
                          bool required = true) {
  for (std::size_t i = 0; i < N; ++i)
    if (std::string_view(params[i].name) == name) return static_cast<int>(i);
  if (required) no_parameter_of_that_name();
  return -1;
}

// The argument shape of a signature, computed once when the function is
// made: positional parameters [0, npos), and where *args and **kwargs are.
struct Shape {
  int nparams = 0;
  int npos = 0;
  int var_pos = -1;
  int var_kw = -1;
};
Shape shape_of(const Signature& sig) noexcept;

// Arguments bound to a signature: borrowed references to the caller's
// values, plus owned *args / **kwargs containers and owned defaults. The
// defaults are read once per call (one snapshot of __defaults__ and
// __kwdefaults__) and stay owned for the duration of the call, so that code
// run meanwhile (a __str__, a key's __hash__, another thread) can reassign
// or clear them without freeing a value in use.
//
// The *args tuple is made only when asked for: var_items()/var_count()
// give the caller's own array, which is enough for most uses.
class Bound {
 public:
  // Parameter i (for the *args parameter, only after varargs()).
  PyObject* operator[](int i) const noexcept { return v_[i]; }

  PyObject* const* var_items() const noexcept { return var_items_; }
  Py_ssize_t var_count() const noexcept { return var_count_; }
  // The *args tuple (borrowed from this object), or NULL with an exception.
  PyObject* varargs() noexcept;

 private:
  friend struct Binder;  // the binder fills it in
  PyObject* v_[kMaxParams] = {};
  PyObject* const* var_items_ = nullptr;
  Py_ssize_t var_count_ = 0;
  int var_index_ = -1;
  Ref varargs_, varkw_, defaults_, kwdefaults_;
  // Values taken from the __kwdefaults__ dict; built only for a signature
  // with keyword-only parameters.
  RefBuffer<kMaxParams> kwdefault_values_;
};

// Binds a vectorcall to f's signature, raising the module's TypeErrors.
int bind(Func* f, PyObject* const* args, size_t nargsf, PyObject* kwnames,
         Bound& out) noexcept;

// Raises the TypeError for a value of the wrong type (with the note for a
// subclass of the expected builtin type).
void raise_arg_type(const char* param, const char* expected, PyObject* value) noexcept;

}  // namespace lm
