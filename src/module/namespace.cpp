// The module body: the imports and globals of the namespace, _md5, and the classes.
#include "capi/levels.hpp"
#include "function/classes.hpp"
#include "function/function.hpp"
#include "handlers/handlers.hpp"
#include "logger/methods.hpp"
#include "module/module_body.hpp"
#include "process/state.hpp"

namespace lm {
namespace {

Ref md5(Func*, Bound& a) noexcept {
  Ref hashlib = global(N.hashlib);
  if (!hashlib) return {};
  Ref factory = getattr(hashlib.get(), N.md5);
  if (!factory) return {};
  Ref digest = call(factory.get());
  if (!digest) return {};
  Ref encode = getattr(a[0], N.encode);
  if (!encode) return {};
  Ref data = call_kw(encode.get(), {}, {{N.encoding, N.s_utf8}});
  if (!data || !call_method(digest.get(), N.update, data.get())) return {};
  return call_method(digest.get(), N.hexdigest);
}

const Param md5_params[] = {{.name = "text", .check = Check::Str, .annotation = "str"}};

}  // namespace

const Signature md5_sig = {
    .name = "_md5",
    .qualname = "_md5",
    .params = md5_params,
    .returns = "str",
    .impl = md5,
};

namespace {

// `import name` (binding the top-level module, as the statement does).
// Namespace keys are interned, as the compiler interns names, so that
// lookups by the interned names match by pointer.
int import_module(PyObject* ns, const char* name) noexcept {
  Ref text = Ref::steal(PyUnicode_InternFromString(name));
  if (!text) return -1;
  Ref module = Ref::steal(PyImport_Import(text.get()));
  if (!module) return -1;
  return PyDict_SetItem(ns, text.get(), module.get());
}

// `from module import a, b, ...`
int import_from(PyObject* ns, const char* module_name,
                std::initializer_list<const char*> names) noexcept {
  Ref text = str(module_name);
  if (!text) return -1;
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return -1;
  for (const char* n : names) {
    Ref item = str(n);
    if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return -1;
  }
  Ref module =
      Ref::steal(PyImport_ImportModuleLevelObject(text.get(), ns, nullptr, fromlist.get(), 0));
  if (!module) return -1;
  for (const char* n : names) {
    Ref value = Ref::steal(PyObject_GetAttrString(module.get(), n));
    if (!value) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module_name);
      }
      return -1;
    }
    if (PyDict_SetItemString(ns, n, value.get()) < 0) return -1;
  }
  return 0;
}

int bind_str(PyObject* ns, const char* key, const char* value) noexcept {
  Ref v = str(value);
  return v ? PyDict_SetItemString(ns, key, v.get()) : -1;
}

int bind_new(PyObject* ns, const char* key, Ref value) noexcept {
  return value ? PyDict_SetItemString(ns, key, value.get()) : -1;
}

// logging's level names to their console colours. The keys go in as the
// module body lists them, INFO first, then DEBUG, WARNING, ERROR, CRITICAL:
// not the level table's order (DEBUG to CRITICAL).
Ref colors() noexcept {
  Ref map = Ref::steal(PyDict_New());
  if (!map) return {};
  for (int index : {1, 0, 2, 3, 4}) {
    Ref colour = str(kLevels[index].colour);
    if (!colour || PyDict_SetItem(map.get(), level_constant_name(index), colour.get()) < 0)
      return {};
  }
  return map;
}

// The namespace as the module body binds it: imports, formats, colours,
// registries, the lock and _md5.
int bind_namespace(PyObject* ns) noexcept {
  if (bind_new(ns, "__all__", Ref::steal(Py_BuildValue("[s]", "VarnelLog"))) < 0) return -1;
  for (const char* m : {"hashlib", "logging", "os", "uuid"})
    if (import_module(ns, m) < 0) return -1;
  if (import_from(ns, "logging.handlers", {"RotatingFileHandler"}) < 0 ||
      import_from(ns, "logging.handlers", {"TimedRotatingFileHandler"}) < 0 ||
      import_from(ns, "threading", {"Lock"}) < 0 ||
      import_from(ns, "typing", {"Optional", "Any", "Dict", "List", "Tuple"}) < 0 ||
      import_module(ns, "colorlog") < 0)
    return -1;
  if (bind_str(ns, "_fformatter", "%(asctime)s - %(name)s - %(levelname)s - %(message)s") < 0 ||
      bind_str(ns, "_cformatter",
               "%(log_color)s%(asctime)s - %(name)s - %(levelname)s - %(message)s") < 0 ||
      bind_new(ns, "_colors", colors()) < 0)
    return -1;
  for (const char* registry : {"_LOGGERS", "_FHANDLERS", "_CAPTURES"})
    if (bind_new(ns, registry, Ref::steal(PyDict_New())) < 0) return -1;
  Ref lock_class = Ref::steal(PyUnicode_InternFromString("Lock"));
  Ref lock_factory = lock_class ? global(lock_class.get()) : Ref{};
  if (!lock_factory || bind_new(ns, "_LOCK", call(lock_factory.get())) < 0) return -1;
  return bind_new(ns, "_md5", make_function(md5_sig, ns, N.s_log_main));
}

int define_class(PyObject* ns, const char* name, Ref bases,
                 std::span<const Method> methods) noexcept {
  if (!bases) return -1;
  return bind_new(ns, name, make_class(name, bases.get(), methods, ns, N.s_log_main));
}

Ref bases_of(PyObject* base) noexcept {
  if (!base) return {};
  return Ref::steal(PyTuple_Pack(1, base));
}

const Method context_filter_methods[] = {{&filter_init_sig}, {&filter_filter_sig}};
const Method logbase_methods[] = {
    {&logbase_init_sig},    {&create_console_handler_sig}, {&create_file_handler_sig},
    {&disable_sig},         {&enable_sig},                 {&close_sig},
    {&set_console_level_sig}, {&set_file_level_sig},       {&log_sig},
    {&debug_sig},           {&info_sig},                   {&warning_sig},
    {&error_sig},           {&critical_sig},               {&exception_sig},
    {&enter_sig},           {&exit_sig},                   {&repr_sig},
};
const Method varnel_methods[] = {{&varnel_new_sig, true}};
const Method set_logger_methods[] = {{&set_logger_init_sig}, {&setup_logger_sig}};
const Method get_logger_methods[] = {{&get_logger_init_sig}, {&captures_logger_sig}};

int define_classes(PyObject* ns) noexcept {
  Ref logging = global(N.logging);
  Ref filter_base = logging ? Ref::steal(PyObject_GetAttrString(logging.get(), "Filter")) : Ref{};
  if (define_class(ns, "_ContextFilter", bases_of(filter_base.get()), context_filter_methods) < 0)
    return -1;
  if (define_class(ns, "_LogBase", Ref::steal(PyTuple_New(0)), logbase_methods) < 0 ||
      define_class(ns, "VarnelLog", Ref::steal(PyTuple_New(0)), varnel_methods) < 0)
    return -1;
  Ref logbase_name = Ref::steal(PyUnicode_InternFromString("_LogBase"));
  if (!logbase_name) return -1;
  Ref logbase = global(logbase_name.get());
  if (!logbase) return -1;
  // The level methods call this function directly while nothing replaces it.
  PyObject* log_func = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(logbase.get()), N._log);
  if (!log_func) {
    PyErr_SetString(PyExc_SystemError, "_LogBase._log is missing");
    return -1;
  }
  Py_XSETREF(state.log_func, Py_NewRef(log_func));
  if (define_class(ns, "_SetLogger", bases_of(logbase.get()), set_logger_methods) < 0) return -1;
  logbase = global(logbase_name.get());
  return define_class(ns, "_GetLogger", bases_of(logbase.get()), get_logger_methods);
}

}  // namespace

int run_module_body(PyObject* ns) noexcept {
  if (bind_namespace(ns) < 0) return -1;
  return define_classes(ns);
}

}  // namespace lm
