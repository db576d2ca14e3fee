// Func, the function-object type: its attributes, method binding, vectorcall, and functions made from their tables.

#include <cstddef>

#include "capi/call.hpp"
#include "capi/names.hpp"
#include "function/function.hpp"
#include "function/render.hpp"

namespace lm {

// The entry from the interpreter: bind, then run the implementation. The
// module is built without C++ exceptions (errors travel as the C API's do),
// so there is nothing to catch here.
PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  Bound bound;
  if (bind(f, args, nargsf, kwnames, bound) < 0) return nullptr;
  return f->sig->impl(f, bound).release();
}

namespace {

// A slot that Python code may rebind (__defaults__, __name__, ...), read and
// written whole: without the GIL another thread may be replacing it, and the
// reference must be taken before the old value can be released.
Ref read_slot(Func* f, PyObject* Func::*slot) noexcept {
  Ref value;
  Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(f));
  value = Ref::borrow(f->*slot);
  Py_END_CRITICAL_SECTION();
  return value;
}

// Stores `value` (empty for NULL); the old value is released once the
// section is left, since its release may run arbitrary code.
void replace_slot(Func* f, PyObject* Func::*slot, Ref value) noexcept {
  PyObject* old = nullptr;
  Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(f));
  old = f->*slot;
  // Released: the free-threaded build's memo of __kwdefaults__ compares
  // the pointer without the lock.
  _Py_atomic_store_ptr_release(&(f->*slot), value.release());
  Py_END_CRITICAL_SECTION();
  Ref::steal(old).reset();
}

int func_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->doc);
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->annotations);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->klass);
  Py_VISIT(f->dict);
  return 0;
}

int func_clear(PyObject* self) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->klass);
  Py_CLEAR(f->dict);
  return 0;
}

void func_dealloc(PyObject* self) noexcept {
  Func* f = reinterpret_cast<Func*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  func_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  for (PyObject*& n : f->param_names) Py_CLEAR(n);
  PyObject_GC_Del(self);
}

PyObject* func_repr(PyObject* self) noexcept {
  Ref qualname = read_slot(reinterpret_cast<Func*>(self), &Func::qualname);
  return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Binds like a Python function: the function itself from the class, a
// bound method from an instance.
PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

Func* as_func(PyObject* self) noexcept { return reinterpret_cast<Func*>(self); }

PyObject* get_name(PyObject* self, void*) noexcept {
  return read_slot(as_func(self), &Func::name).release();
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return read_slot(as_func(self), &Func::qualname).release();
}

int set_str(PyObject* self, PyObject* Func::*slot, PyObject* value, const char* what) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  replace_slot(as_func(self), slot, Ref::borrow(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_str(self, &Func::name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_str(self, &Func::qualname, value, "__qualname__");
}

PyObject* get_any(PyObject* self, PyObject* Func::*slot) noexcept {
  Ref value = read_slot(as_func(self), slot);
  return value ? value.release() : Py_NewRef(Py_None);
}
int set_any(PyObject* self, PyObject* Func::*slot, PyObject* value) noexcept {
  replace_slot(as_func(self), slot, Ref::borrow(value ? value : Py_None));
  return 0;
}
PyObject* get_doc(PyObject* self, void*) noexcept { return get_any(self, &Func::doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  return set_any(self, &Func::doc, value);
}
PyObject* get_module(PyObject* self, void*) noexcept { return get_any(self, &Func::module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
  return set_any(self, &Func::module, value);
}

// __defaults__ / __kwdefaults__ / __annotations__: None is stored as NULL,
// as in funcobject.c.
int set_optional(PyObject* self, PyObject* Func::*slot, PyObject* value, PyTypeObject* type,
                 const char* message) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyObject_TypeCheck(value, type)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  replace_slot(as_func(self), slot, Ref::borrow(value));
  return 0;
}
PyObject* get_defaults(PyObject* self, void*) noexcept { return get_any(self, &Func::defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
  return set_optional(self, &Func::defaults, value, &PyTuple_Type,
                      "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
  return get_any(self, &Func::kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
  return set_optional(self, &Func::kwdefaults, value, &PyDict_Type,
                      "__kwdefaults__ must be set to a dict object");
}

// Made on first read when unset; two threads reading at once get one dict.
PyObject* get_annotations(PyObject* self, void*) noexcept {
  Func* f = as_func(self);
  PyObject* result = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  if (!f->annotations) f->annotations = PyDict_New();
  result = Py_XNewRef(f->annotations);
  Py_END_CRITICAL_SECTION();
  return result;
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  return set_optional(self, &Func::annotations, value, &PyDict_Type,
                      "__annotations__ must be set to a dict object");
}

PyObject* get_globals(PyObject* self, void*) noexcept {
  return Py_NewRef(as_func(self)->globals);
}
PyObject* get_signature(PyObject* self, void*) noexcept {
  return build_inspect_signature(as_func(self)).release();
}

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Evaluates one default of the table, at definition time.
Ref make_default(const Default& d, PyObject* globals) noexcept {
  switch (d.tag) {
    case Default::Tag::None: return none();
    case Default::Tag::True: return boolean(true);
    case Default::Tag::False: return boolean(false);
    case Default::Tag::Str: return str(d.text);
    case Default::Tag::GlobalAttr: {
      Ref name = Ref::steal(PyUnicode_InternFromString(d.global));
      if (!name) return {};
      Ref owner = lookup_global(globals, name.get());
      if (!owner) return {};
      Ref value = Ref::steal(PyObject_GetAttrString(owner.get(), d.attr));
      if (!value) return {};
      if (value.get() != Py_None && !PyLong_CheckExact(value.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int",
                     Py_TYPE(value.get())->tp_name);
        return {};
      }
      return value;
    }
    case Default::Tag::Required: break;
  }
  PyErr_SetString(PyExc_SystemError, "required parameter has no default");
  return {};
}

int fill_function(Func* f, const Signature& sig, PyObject* globals,
                  PyObject* module_name) noexcept {
  const int n = static_cast<int>(sig.params.size());
  if (n > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "signature has too many parameters");
    return -1;
  }
  f->name = PyUnicode_InternFromString(sig.name);
  f->qualname = PyUnicode_FromString(sig.qualname);
  f->doc = render_doc(sig).release();
  f->shape = shape_of(sig);
  f->module = Py_NewRef(module_name);
  f->globals = Py_NewRef(globals);
  f->annotations = PyDict_New();
  if (!f->name || !f->qualname || !f->doc || !f->annotations) return -1;

  Ref defaults = Ref::steal(PyList_New(0));
  Ref kwdefaults = Ref::steal(PyDict_New());
  if (!defaults || !kwdefaults) return -1;
  for (int i = 0; i < n; ++i) {
    const Param& p = sig.params[i];
    f->param_names[i] = PyUnicode_InternFromString(p.name);
    if (!f->param_names[i]) return -1;
    if (p.annotation) {
      Ref text = str(p.annotation);
      if (!text || PyDict_SetItem(f->annotations, f->param_names[i], text.get()) < 0)
        return -1;
    }
    if (p.dflt.tag == Default::Tag::Required) continue;
    Ref value = make_default(p.dflt, globals);
    if (!value) return -1;
    if (p.kind == Kind::KeywordOnly) {
      if (PyDict_SetItem(kwdefaults.get(), f->param_names[i], value.get()) < 0) return -1;
    } else if (PyList_Append(defaults.get(), value.get()) < 0) {
      return -1;
    }
  }
  if (sig.returns) {
    Ref text = str(sig.returns);
    if (!text || PyDict_SetItemString(f->annotations, "return", text.get()) < 0) return -1;
  }
  if (PyList_GET_SIZE(defaults.get()) > 0) {
    f->defaults = PyList_AsTuple(defaults.get());
    if (!f->defaults) return -1;
  }
  if (PyDict_GET_SIZE(kwdefaults.get()) > 0) f->kwdefaults = kwdefaults.release();
  return 0;
}

}  // namespace

PyTypeObject FuncType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "log_main.function",
    .tp_basicsize = sizeof(Func),
    .tp_itemsize = 0,
    .tp_dealloc = func_dealloc,
    .tp_vectorcall_offset = offsetof(Func, vectorcall),
    .tp_getattr = nullptr,
    .tp_setattr = nullptr,
    .tp_as_async = nullptr,
    .tp_repr = func_repr,
    .tp_as_number = nullptr,
    .tp_as_sequence = nullptr,
    .tp_as_mapping = nullptr,
    .tp_hash = nullptr,
    .tp_call = PyVectorcall_Call,
    .tp_str = nullptr,
    .tp_getattro = nullptr,
    .tp_setattro = nullptr,
    .tp_as_buffer = nullptr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = "Function of the log_main module.",
    .tp_traverse = func_traverse,
    .tp_clear = func_clear,
    .tp_richcompare = nullptr,
    .tp_weaklistoffset = offsetof(Func, weakrefs),
    .tp_iter = nullptr,
    .tp_iternext = nullptr,
    .tp_methods = nullptr,
    .tp_members = nullptr,
    .tp_getset = func_getset,
    .tp_base = nullptr,
    .tp_dict = nullptr,
    .tp_descr_get = func_descr_get,
    .tp_descr_set = nullptr,
    .tp_dictoffset = offsetof(Func, dict),
};

int func_type_ready() noexcept { return PyType_Ready(&FuncType); }

Ref make_function(const Signature& sig, PyObject* globals, PyObject* module_name) noexcept {
  Func* f = PyObject_GC_New(Func, &FuncType);
  if (!f) return {};
  f->vectorcall = sig.entry ? sig.entry : func_vectorcall;
  f->sig = &sig;
  f->name = f->qualname = f->doc = f->module = f->globals = nullptr;
  f->annotations = f->defaults = f->kwdefaults = f->klass = f->dict = nullptr;
  f->weakrefs = nullptr;
  for (PyObject*& n : f->param_names) n = nullptr;
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
  PyObject_GC_Track(owner.get());
  if (fill_function(f, sig, globals, module_name) < 0) return {};
  return owner;
}

Snapshot snapshot(Func* f, bool with_annotations) noexcept {
  Snapshot live;
  Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(f));
  live.defaults = Ref::borrow(f->defaults);
  live.kwdefaults = Ref::borrow(f->kwdefaults);
  if (with_annotations) live.annotations = Ref::borrow(f->annotations);
  Py_END_CRITICAL_SECTION();
  return live;
}

void set_class_cell(PyObject* func, PyObject* klass) noexcept {
  Func* f = as_func(func);
  Py_XSETREF(f->klass, Py_NewRef(klass));
}

Ref super_call(Func* f, PyObject* self, PyObject* name) noexcept {
  if (!f->klass) {
    PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
    return {};
  }
  Ref super_type = lookup_global(f->globals, N.super);
  if (!super_type) return {};
  Ref proxy = call(super_type.get(), f->klass, self);
  if (!proxy) return {};
  Ref method = getattr(proxy.get(), name);
  if (!method) return {};
  return call(method.get());
}

}  // namespace lm
