// The module log_main: its definition, the module body that binds the namespace and defines the classes, _md5, and the fork hooks.

#include "core/skip_cache.hpp"
#include "module/signatures.hpp"
#include "module/state.hpp"
#include "runtime/classes.hpp"
#include "runtime/function.hpp"
#include "variants/stack.hpp"

namespace lm {

State state;

int init_names() noexcept {
  if (state.names.logging) return 0;  // interned once for the process
  Names fresh;
#define LM_NAME_INIT(field, text)                            \
  fresh.field = PyUnicode_InternFromString(text);           \
  if (!fresh.field) return -1;
  LM_NAMES(LM_NAME_INIT)
#undef LM_NAME_INIT
  state.names = fresh;
  return 0;
}

Ref logging_attr(PyObject* attr) noexcept {
  Ref logging = global(N.logging);
  if (!logging) return {};
  return getattr(logging.get(), attr);
}

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

// The fork hooks (see ModuleLock). Before: the lock is taken, once every
// VarnelLog or close under way on other threads has finished.
Ref lock_before_fork(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  if (lock_for_fork() < 0) return {};
  return none();
}

Ref unlock_in_parent(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  return unlock_after_fork();
}

// In the child the lock is re-created in place (the object bound to _LOCK
// stays the same), unless the forking thread holds it and goes on.
Ref reinit_lock(Func*, Bound&) noexcept {
  if (!state.ns) return none();
  hot::forget();  // nothing cached in the parent is trusted in the child
  if (!lock_free_in_child()) return none();
  Ref lock = global(N._LOCK);
  if (!lock) return {};
  PyObject* reinit = nullptr;
  if (PyObject_GetOptionalAttrString(lock.get(), "_at_fork_reinit", &reinit) < 0) return {};
  if (!reinit) return none();  // not a lock of the threading module
  Ref hold = Ref::steal(reinit);
  Ref r = call(reinit);
  if (!r) return {};
  return none();
}

constexpr Signature fork_hook(const char* name, Ref (*impl)(Func*, Bound&) noexcept) {
  return {.name = name, .qualname = name, .params = {}, .returns = "None", .impl = impl};
}
const Signature fork_hooks[] = {
    fork_hook("_lock_before_fork", lock_before_fork),
    fork_hook("_unlock_after_fork_in_parent", unlock_in_parent),
    fork_hook("_reinit_lock_after_fork", reinit_lock),
};

}  // namespace

// Registered once per process, before the module is published, and after
// the module body imported logging: before-fork hooks run in the reverse
// order of registration, so the module lock is taken before logging's.
int register_fork_handler() noexcept {
  static bool registered = false;
  if (registered) return 0;
  Ref os = global(N.os);
  if (!os) return -1;
  Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) {
    // Platforms without fork have nothing to do.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  Ref before = make_function(fork_hooks[0], state.ns, N.s_log_main);
  Ref parent = make_function(fork_hooks[1], state.ns, N.s_log_main);
  Ref child = make_function(fork_hooks[2], state.ns, N.s_log_main);
  Ref k_before = str("before"), k_parent = str("after_in_parent"), k_child = str("after_in_child");
  if (!before || !parent || !child || !k_before || !k_parent || !k_child) return -1;
  if (!call_kw(register_at_fork.get(), {},
               {{k_before.get(), before.get()}, {k_parent.get(), parent.get()},
                {k_child.get(), child.get()}}))
    return -1;
  registered = true;
  return 0;
}

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
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!text || !fromlist) return -1;
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

Ref colors() noexcept {
  Ref map = Ref::steal(PyDict_New());
  if (!map) return {};
  const char* pairs[][2] = {{"INFO", "green"},
                            {"DEBUG", "blue"},
                            {"WARNING", "yellow"},
                            {"ERROR", "red"},
                            {"CRITICAL", "bold_red,bg_white"}};
  for (auto& [level, colour] : pairs) {
    Ref v = str(colour);
    if (!v || PyDict_SetItemString(map.get(), level, v.get()) < 0) return {};
  }
  return map;
}

// Rows 1 to 18 of the namespace.
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
    {&error_sig},           {&critical_sig},
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

namespace {

// The module's state is the process's: only the main interpreter may load
// it. A subinterpreter is refused (isolated ones by the interpreter itself,
// from the module slot below) and leaves nothing behind, so the main
// interpreter can import it before or after. Once the module has been
// initialised, the same module object is handed back.
PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "log_main cannot be imported in a subinterpreter: its loggers, "
                    "registries and lock belong to the whole process, so only the main "
                    "interpreter may load it");
    return nullptr;
  }
  if (state.module) return Py_NewRef(state.module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

// Runs the module body once per process; a failed run leaves nothing
// behind, so a later import starts afresh.
int exec_module(PyObject* module) noexcept {
  if (state.module) {
    if (module == state.module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'log_main' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  if (init_names() < 0 || func_type_ready() < 0) return -1;
  PyObject* ns = PyModule_GetDict(module);
  if (!ns) return -1;
  state.ns = Py_NewRef(ns);
  state.captured = PyDict_New();
  if (!state.captured || run_module_body(ns) < 0 || register_fork_handler() < 0 ||
      hot::start() < 0) {
    Py_CLEAR(state.ns);
    Py_CLEAR(state.log_func);
    Py_CLEAR(state.captured);
    return -1;
  }
  state.module = Py_NewRef(module);
  return 0;
}

// Safe without the GIL: the module's own state is reached under _LOCK or
// read whole (critical sections), so importing it on a free-threaded
// build leaves the GIL off.
PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "log_main",
    .m_doc = "One call, VarnelLog(name, ...), returns a ready-to-use named logger that\n"
             "writes coloured lines to the console and, when a file is given, to a log\n"
             "file of kind \"file\", \"rotating\" or \"timerotating\".",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

const Signature md5_sig = {
    .name = "_md5",
    .qualname = "_md5",
    .params = md5_params,
    .returns = "str",
    .impl = md5,
};

}  // namespace lm

PyMODINIT_FUNC PyInit_log_main() { return PyModuleDef_Init(&lm::module_def); }
