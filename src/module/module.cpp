// The module definition: entry point, creation and execution slots.
#include "core/skip_cache.hpp"
#include "module/fork.hpp"
#include "module/init.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

std::int64_t loaded_interpreter = -1;

// The first creation records the interpreter; any other is refused. Once
// the module has been initialised, the same module object is handed back.
PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return nullptr;
  if (loaded_interpreter == -1) {
    loaded_interpreter = id;
  } else if (loaded_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
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
  if (!state.captured || run_module_body(ns) < 0) {
    Py_CLEAR(state.ns);
    Py_CLEAR(state.log_func);
    Py_CLEAR(state.captured);
    return -1;
  }
  if (hot::start() < 0) {
    Py_CLEAR(state.ns);
    Py_CLEAR(state.log_func);
    Py_CLEAR(state.captured);
    return -1;
  }
  state.module = Py_NewRef(module);
  return register_fork_handler();
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
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
}  // namespace lm

PyMODINIT_FUNC PyInit_log_main() { return PyModuleDef_Init(&lm::module_def); }
