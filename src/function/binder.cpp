// The argument binder: one pass over a vectorcall, driven by the signature.
#include "function/function.hpp"

namespace lm {
namespace {

const char* check_name(Check c) noexcept {
  const char* word = type_word(c);
  return word ? word : "object";
}

PyTypeObject* check_type(Check c) noexcept {
  switch (c) {
    case Check::Str: return &PyUnicode_Type;
    case Check::Int: return &PyLong_Type;
    case Check::Tuple: return &PyTuple_Type;
    case Check::Dict: return &PyDict_Type;
    case Check::Any: break;
  }
  return nullptr;
}

// f.__name__ now (a str: its setter takes nothing else), held for the
// message: another thread may rebind it meanwhile.
Ref func_name(Func* f) noexcept {
  return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(f), "__name__"));
}

void raise_count(Func* f, bool exact, Py_ssize_t min, Py_ssize_t max,
                 Py_ssize_t given) noexcept {
  const char* how;
  Py_ssize_t expected;
  if (given < min) {
    expected = min;
    how = "at least";
  } else {
    expected = max;
    how = "at most";
  }
  if (exact) how = "exactly";
  Ref name = func_name(f);
  if (!name) return;
  PyErr_Format(PyExc_TypeError,
               "%.200U() takes %.8s %zd positional argument%.1s (%zd given)",
               name.get(), how, expected, expected == 1 ? "" : "s", given);
}

// Index of the named parameter (positional or keyword-only), or -1.
// Interned names match by pointer; anything else by value.
int find_param(Func* f, PyObject* key) noexcept {
  const Signature& sig = *f->sig;
  const int n = static_cast<int>(sig.params.size());
  auto named = [&](int i) {
    Kind k = sig.params[i].kind;
    return k == Kind::Positional || k == Kind::KeywordOnly;
  };
  for (int i = 0; i < n; ++i)
    if (f->param_names[i] == key && named(i)) return i;
  for (int i = 0; i < n; ++i)
    if (named(i) && PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) return i;
  return -1;
}

}  // namespace

Shape shape_of(const Signature& sig) noexcept {
  Shape shape;
  shape.nparams = static_cast<int>(sig.params.size());
  for (int i = 0; i < shape.nparams; ++i) {
    switch (sig.params[i].kind) {
      case Kind::Positional: shape.npos = i + 1; break;
      case Kind::VarPositional: shape.var_pos = i; break;
      case Kind::VarKeyword: shape.var_kw = i; break;
      case Kind::KeywordOnly: break;
    }
  }
  return shape;
}

PyObject* Bound::varargs() noexcept {
  if (!varargs_) {
    varargs_ = Ref::steal(PyTuple_New(var_count_));
    if (!varargs_) return nullptr;
    for (Py_ssize_t i = 0; i < var_count_; ++i)
      PyTuple_SET_ITEM(varargs_.get(), i, Py_NewRef(var_items_[i]));
    v_[var_index_] = varargs_.get();
  }
  return varargs_.get();
}

void raise_arg_type(const char* param, const char* expected, PyObject* value) noexcept {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               param, expected, Py_TYPE(value)->tp_name);
}

namespace {

int check_value(const Param& p, PyObject* v) noexcept {
  if (p.check == Check::Any) return 0;
  PyTypeObject* t = check_type(p.check);
  if (Py_IS_TYPE(v, t) || (p.none_ok && v == Py_None)) return 0;
  raise_arg_type(p.name, check_name(p.check), v);
  if (PyObject_TypeCheck(v, t)) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "'%s' must be exactly %s: instances of subclasses of built-in types "
        "are refused (got an instance of %s, a subclass of %s)",
        p.name, check_name(p.check), Py_TYPE(v)->tp_name, check_name(p.check)));
    if (note) {
      Ref r = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
      if (!r) return -1;
    }
    PyErr_SetRaisedException(exc.release());
  }
  return -1;
}

}  // namespace

// One call's binding to f's signature, in the steps of a Python function's:
// the positional arguments, the keywords, the defaults of what is still
// missing, then the exact-type checks. Each step returns -1 with the
// exception set.
struct Binder {
  Binder(Func* f, PyObject* const* args, size_t nargsf, Bound& out) noexcept;
  int positional() noexcept;
  int keywords(PyObject* kwnames) noexcept;
  int positional_defaults() noexcept;
  int keyword_defaults() noexcept;
  int check_types() noexcept;

  Func* const f;
  PyObject* const* const args;
  const Py_ssize_t nargs;
  Bound& out;
  const int npos, var_pos, var_kw;
  PyObject* defaults = nullptr;    // the call's snapshot, held by `out`
  PyObject* kwdefaults = nullptr;  // likewise
  Py_ssize_t ndef = 0;             // len(defaults)
  Py_ssize_t min_pos = 0;          // positional parameters without a default
  bool exact = false;              // the count error says "exactly"
};

// The live defaults, as in a Python function, read once and together: a
// key's __hash__ or __eq__ below, or another thread, may reassign
// __defaults__/__kwdefaults__, so everything after this works on the
// snapshot the call owns.
Binder::Binder(Func* func, PyObject* const* call_args, size_t nargsf, Bound& bound) noexcept
    : f(func),
      args(call_args),
      nargs(PyVectorcall_NARGS(nargsf)),
      out(bound),
      npos(func->shape.npos),
      var_pos(func->shape.var_pos),
      var_kw(func->shape.var_kw) {
  Snapshot live = snapshot(f);
  out.defaults_ = std::move(live.defaults);
  out.kwdefaults_ = std::move(live.kwdefaults);
  defaults = out.defaults_.get();
  kwdefaults = out.kwdefaults_.get();
  ndef = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  min_pos = npos > ndef ? npos - ndef : 0;
  exact = var_pos < 0 && min_pos == npos;
}

// The positional arguments, those beyond the named ones as *args, and the
// empty **kwargs dict.
int Binder::positional() noexcept {
  if (nargs > npos && var_pos < 0) {
    raise_count(f, exact, min_pos, npos, nargs);
    return -1;
  }
  const Py_ssize_t ncopy = nargs < npos ? nargs : npos;
  for (Py_ssize_t i = 0; i < ncopy; ++i) out.v_[i] = args[i];

  if (var_pos >= 0) {
    out.var_index_ = var_pos;
    out.var_items_ = args + npos;
    out.var_count_ = nargs > npos ? nargs - npos : 0;
  }
  if (var_kw >= 0) {
    out.varkw_ = Ref::steal(PyDict_New());
    if (!out.varkw_) return -1;
    out.v_[var_kw] = out.varkw_.get();
  }
  return 0;
}

// Each keyword to its parameter, else into **kwargs.
int Binder::keywords(PyObject* kwnames) noexcept {
  if (!kwnames) return 0;
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    int i = find_param(f, key);
    if (i >= 0) {
      if (out.v_[i]) {
        Ref name = func_name(f);
        if (name)
          PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'",
                       name.get(), key);
        return -1;
      }
      out.v_[i] = value;
    } else if (var_kw >= 0) {
      if (PyDict_SetItem(out.varkw_.get(), key, value) < 0) return -1;
    } else {
      Ref name = func_name(f);
      if (name)
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                     name.get(), key);
      return -1;
    }
  }
  return 0;
}

// The positional parameters still missing take their defaults.
int Binder::positional_defaults() noexcept {
  for (int i = 0; i < npos; ++i) {
    if (out.v_[i]) continue;
    if (i >= min_pos) {
      out.v_[i] = PyTuple_GET_ITEM(defaults, ndef - npos + i);  // held by the snapshot
    } else {
      raise_count(f, exact, min_pos, npos, nargs);
      return -1;
    }
  }
  return 0;
}

// The keyword-only parameters still missing take theirs from __kwdefaults__.
int Binder::keyword_defaults() noexcept {
  const Signature& sig = *f->sig;
  bool room = false;  // kwdefault_values_ built
  for (int i = npos; i < f->shape.nparams; ++i) {
    if (sig.params[i].kind != Kind::KeywordOnly || out.v_[i]) continue;
    if (!room && out.kwdefault_values_.reserve(kMaxParams) < 0) return -1;
    room = true;
    // The dict is mutable: the value is owned here, not borrowed from it.
    PyObject* value = nullptr;
    if (kwdefaults && PyDict_GetItemRef(kwdefaults, f->param_names[i], &value) < 0) return -1;
    out.kwdefault_values_[i] = Ref::steal(value);
    if (!value) {
      Ref name = func_name(f);
      if (name)
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%s'",
                     name.get(), sig.params[i].name);
      return -1;
    }
    out.v_[i] = value;
  }
  return 0;
}

int Binder::check_types() noexcept {
  const Signature& sig = *f->sig;
  for (int i = 0; i < f->shape.nparams; ++i) {
    const Param& p = sig.params[i];
    if (p.kind == Kind::VarPositional || p.kind == Kind::VarKeyword) continue;
    if (check_value(p, out.v_[i]) < 0) return -1;
  }
  return 0;
}

int bind(Func* f, PyObject* const* args, size_t nargsf, PyObject* kwnames,
         Bound& out) noexcept {
  Binder binder(f, args, nargsf, out);
  if (binder.positional() < 0 || binder.keywords(kwnames) < 0 ||
      binder.positional_defaults() < 0 || binder.keyword_defaults() < 0 ||
      binder.check_types() < 0)
    return -1;
  return 0;
}

}  // namespace lm
