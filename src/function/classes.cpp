// Class creation by calling the metaclass, as a class statement does.
#include "function/classes.hpp"

#include "capi/call.hpp"
#include "function/function.hpp"

namespace lm {

Ref make_class(const char* name, PyObject* bases, std::span<const Method> methods,
               PyObject* globals, PyObject* module_name) noexcept {
  PyObject* meta = reinterpret_cast<PyObject*>(&PyType_Type);
  if (PyTuple_GET_SIZE(bases) > 0)
    meta = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)));
  Ref name_obj = str(name);
  if (!name_obj) return {};

  Ref ns;
  PyObject* prepare = nullptr;
  if (PyObject_GetOptionalAttrString(meta, "__prepare__", &prepare) < 0) return {};
  if (prepare) {
    Ref hold = Ref::steal(prepare);
    ns = call(prepare, name_obj.get(), bases);
  } else {
    ns = Ref::steal(PyDict_New());
  }
  if (!ns) return {};
  Ref module_key = str("__module__");
  if (!module_key || PyObject_SetItem(ns.get(), module_key.get(), module_name) < 0)
    return {};
  Ref qual_key = str("__qualname__");
  if (!qual_key || PyObject_SetItem(ns.get(), qual_key.get(), name_obj.get()) < 0)
    return {};

  constexpr size_t kMaxMethods = 24;
  Ref with_super[kMaxMethods];
  size_t nsuper = 0;
  for (const Method& m : methods) {
    Ref func = make_function(*m.sig, globals, module_name);
    if (!func) return {};
    if (m.sig->uses_super && nsuper < kMaxMethods) with_super[nsuper++] = func.copy();
    Ref stored = m.is_static ? Ref::steal(PyStaticMethod_New(func.get())) : func.copy();
    if (!stored) return {};
    Ref key = str(m.sig->name);
    if (!key || PyObject_SetItem(ns.get(), key.get(), stored.get()) < 0) return {};
  }

  Ref cls = call(meta, name_obj.get(), bases, ns.get());
  if (!cls) return {};
  for (size_t i = 0; i < nsuper; ++i) set_class_cell(with_super[i].get(), cls.get());
  return cls;
}

}  // namespace lm
