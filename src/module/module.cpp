// The module log_main: its definition, slots, creation and exec.

#include "function/function.hpp"
#include "handlers/kinds.hpp"
#include "hot/verdict.hpp"
#include "module/module_body.hpp"
#include "process/state.hpp"

namespace lm {
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
  state.closed = PyDict_New();
  if (!state.captured || !state.closed || run_module_body(ns) < 0 || register_fork_handler() < 0 ||
      hot::start() < 0) {
    Py_CLEAR(state.ns);
    Py_CLEAR(state.log_func);
    Py_CLEAR(state.captured);
    Py_CLEAR(state.closed);
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

// The module's docstring, naming the kinds from their table.
constexpr ConstText kModuleDoc = [] {
  ConstText t;
  t << "One call, VarnelLog(name, ...), returns a ready-to-use named logger that\n"
       "writes coloured lines to the console and, when a file is given, to a log\n"
       "file of kind ";
  put_kind_names(t, "\"", " or ") << ".";
  return t;
}();

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "log_main",
    .m_doc = kModuleDoc.s,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace lm

PyMODINIT_FUNC PyInit_log_main() { return PyModuleDef_Init(&lm::module_def); }
