// __signature__: an inspect.Signature built from the table and live defaults.
#include "runtime/call.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

const char* kind_name(Kind k) noexcept {
  switch (k) {
    case Kind::Positional: return "POSITIONAL_OR_KEYWORD";
    case Kind::VarPositional: return "VAR_POSITIONAL";
    case Kind::KeywordOnly: return "KEYWORD_ONLY";
    case Kind::VarKeyword: return "VAR_KEYWORD";
  }
  return "POSITIONAL_OR_KEYWORD";
}

// The current default of parameter i (borrowed), or NULL when it has none.
PyObject* live_default(Func* f, int i, int npos) noexcept {
  const Param& p = f->sig->params[i];
  if (p.kind == Kind::Positional && f->defaults) {
    Py_ssize_t ndef = PyTuple_GET_SIZE(f->defaults);
    Py_ssize_t first = npos - ndef;
    if (i >= first) return PyTuple_GET_ITEM(f->defaults, ndef - npos + i);
  }
  if (p.kind == Kind::KeywordOnly && f->kwdefaults)
    return PyDict_GetItemWithError(f->kwdefaults, f->param_names[i]);
  return nullptr;
}

}  // namespace

Ref build_inspect_signature(Func* f) noexcept {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return {};
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter || !signature) return {};
  Ref annotations = Ref::borrow(f->annotations);

  const Signature& sig = *f->sig;
  const int n = f->shape.nparams, npos = f->shape.npos;

  Ref params = Ref::steal(PyList_New(0));
  if (!params) return {};
  Ref k_name = str("name"), k_kind = str("kind"), k_default = str("default"),
      k_annotation = str("annotation");
  if (!k_name || !k_kind || !k_default || !k_annotation) return {};
  for (int i = 0; i < n; ++i) {
    const Param& p = sig.params[i];
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), kind_name(p.kind)));
    if (!kind) return {};
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), k_name.get(), f->param_names[i]) < 0 ||
        PyDict_SetItem(kwargs.get(), k_kind.get(), kind.get()) < 0)
      return {};
    PyObject* dflt = live_default(f, i, npos);
    if (!dflt && PyErr_Occurred()) return {};
    if (dflt && PyDict_SetItem(kwargs.get(), k_default.get(), dflt) < 0) return {};
    if (annotations) {
      PyObject* ann = PyDict_GetItemWithError(annotations.get(), f->param_names[i]);
      if (!ann && PyErr_Occurred()) return {};
      if (ann && PyDict_SetItem(kwargs.get(), k_annotation.get(), ann) < 0) return {};
    }
    Ref param = call_dict(parameter.get(), {}, kwargs.get());
    if (!param || PyList_Append(params.get(), param.get()) < 0) return {};
  }
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  if (annotations) {
    PyObject* ret = PyDict_GetItemString(annotations.get(), "return");
    if (ret && PyDict_SetItemString(kwargs.get(), "return_annotation", ret) < 0) return {};
  }
  return call_dict(signature.get(), {params.get()}, kwargs.get());
}

}  // namespace lm
