// __doc__ and __signature__ of a function, rendered from its signature table.
#include "function/render.hpp"

#include <cstddef>
#include <cstring>

#include "capi/call.hpp"

namespace lm {
namespace {

// dict[key] as an owned reference; empty when either is NULL or the key is
// missing (with an exception set only on failure).
Ref item_of(PyObject* dict, PyObject* key) noexcept {
  PyObject* found = nullptr;
  if (dict && key && PyDict_GetItemRef(dict, key, &found) < 0) return {};
  return Ref::steal(found);
}

// The signature line being written, in a buffer of its own; a line too
// long for it is noted, never cut.
struct DocLine {
  char buf[1024];
  std::size_t len = 0;
  bool fits = true;

  void put(const char* text) noexcept {
    const std::size_t n = std::strlen(text);
    if (!fits || len + n > sizeof buf) {
      fits = false;
      return;
    }
    std::memcpy(buf + len, text, n);
    len += n;
  }
};

// [ = default], as the table gives it.
void put_default(DocLine& line, const Default& d) noexcept {
  switch (d.tag) {
    case Default::Tag::Required: break;
    case Default::Tag::None: line.put(" = None"); break;
    case Default::Tag::True: line.put(" = True"); break;
    case Default::Tag::False: line.put(" = False"); break;
    case Default::Tag::Str:
      line.put(" = '");
      line.put(d.text);
      line.put("'");
      break;
    case Default::Tag::GlobalAttr:
      line.put(" = ");
      line.put(d.global);
      line.put(".");
      line.put(d.attr);
      break;
  }
}

// [*|**][type word ]name[: annotation][ = default]
void put_param(DocLine& line, const Param& p) noexcept {
  if (p.kind == Kind::VarPositional) line.put("*");
  if (p.kind == Kind::VarKeyword) line.put("**");
  if (const char* word = type_word(p.check)) {
    line.put(word);
    line.put(" ");
  }
  line.put(p.name);
  if (p.annotation) {
    line.put(": ");
    line.put(p.annotation);
  }
  put_default(line, p.dflt);
}

}  // namespace

Ref render_doc(const Signature& sig) noexcept {
  DocLine line;
  line.put(sig.qualname);
  line.put("(");
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (i) line.put(", ");
    put_param(line, sig.params[i]);
  }
  line.put(")");
  if (sig.returns) {
    line.put(" -> ");
    line.put(sig.returns);
  }
  if (!line.fits) {
    PyErr_Format(PyExc_SystemError, "the signature line of %s is too long", sig.qualname);
    return {};
  }
  return Ref::steal(PyUnicode_FromStringAndSize(line.buf, static_cast<Py_ssize_t>(line.len)));
}


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

// The default of parameter i in the snapshot, or empty (with an exception
// set only on failure) when it has none.
Ref snapshot_default(Func* f, const Snapshot& live, int i, int npos) noexcept {
  const Param& p = f->sig->params[i];
  PyObject* defaults = live.defaults.get();
  if (p.kind == Kind::Positional && defaults) {
    Py_ssize_t ndef = PyTuple_GET_SIZE(defaults);
    Py_ssize_t first = npos - ndef;
    if (i >= first) return Ref::borrow(PyTuple_GET_ITEM(defaults, ndef - npos + i));
  }
  return item_of(live.kwdefaults.get(), p.kind == Kind::KeywordOnly ? f->param_names[i] : nullptr);
}

}  // namespace

Ref build_inspect_signature(Func* f) noexcept {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return {};
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  if (!parameter) return {};
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!signature) return {};
  const Snapshot live = snapshot(f, true);
  PyObject* annotations = live.annotations.get();

  const Signature& sig = *f->sig;
  const int n = f->shape.nparams, npos = f->shape.npos;

  Ref params = Ref::steal(PyList_New(0));
  if (!params) return {};
  for (int i = 0; i < n; ++i) {
    const Param& p = sig.params[i];
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), kind_name(p.kind)));
    if (!kind) return {};
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "name", f->param_names[i]) < 0 ||
        PyDict_SetItemString(kwargs.get(), "kind", kind.get()) < 0)
      return {};
    Ref dflt = snapshot_default(f, live, i, npos);
    if (!dflt && PyErr_Occurred()) return {};
    if (dflt && PyDict_SetItemString(kwargs.get(), "default", dflt.get()) < 0) return {};
    Ref ann = item_of(annotations, f->param_names[i]);
    if (!ann && PyErr_Occurred()) return {};
    if (ann && PyDict_SetItemString(kwargs.get(), "annotation", ann.get()) < 0) return {};
    Ref param = call_dict(parameter.get(), {}, kwargs.get());
    if (!param || PyList_Append(params.get(), param.get()) < 0) return {};
  }
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  Ref return_key = str("return");
  if (!return_key) return {};
  Ref ret = item_of(annotations, return_key.get());
  if (!ret && PyErr_Occurred()) return {};
  if (ret && PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()) < 0) return {};
  return call_dict(signature.get(), {params.get()}, kwargs.get());
}

}  // namespace lm
