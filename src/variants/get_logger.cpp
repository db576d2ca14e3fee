// _GetLogger: serves a name logging already knows, by a child or a capture.
#include "module/logger_params.hpp"
#include "module/methods.hpp"
#include "module/registries.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"
#include "variants/capture_records.hpp"
#include "variants/shared.hpp"

namespace lm {
namespace {

enum { SELF, NAME, LEVEL, FILE_, HANDLER_TYPE, CONSOLE, REHANDLER, KWARGS };

// name, or name + "." + str(uuid.uuid4()) for a fresh child logger.
Ref object_name(PyObject* name, PyObject* rehandler) noexcept {
  int take_over = PyObject_IsTrue(rehandler);
  if (take_over < 0) return {};
  if (take_over) return Ref::borrow(name);
  Ref uuid = global(N.uuid);
  if (!uuid) return {};
  Ref uuid4 = getattr(uuid.get(), N.uuid4);
  if (!uuid4) return {};
  Ref value = call(uuid4.get());
  if (!value) return {};
  Ref text = Ref::steal(PyObject_Str(value.get()));
  if (!text) return {};
  return concat({name, N.s_dot, text.get()});
}

Ref get_logger_init(Func* f, Bound& a) noexcept {
  PyObject* self = a[SELF];
  if (!super_call(f, self, N.__init__)) return {};
  Ref name = object_name(a[NAME], a[REHANDLER]);
  if (!name || setattr(self, N.name, name.get()) < 0) return {};
  Ref path = stored_path(a[FILE_]);
  if (!path || setattr(self, N.file, path.get()) < 0) return {};
  if (setattr(self, N.handler_type, a[HANDLER_TYPE]) < 0 ||
      setattr(self, N.file_level, a[LEVEL]) < 0 || setattr(self, N.console, a[CONSOLE]) < 0 ||
      setattr(self, N.console_level, a[LEVEL]) < 0 ||
      setattr(self, N.rehandler, a[REHANDLER]) < 0 || setattr(self, N.kwargs, a[KWARGS]) < 0)
    return {};
  if (!call_method(self, N._captures_logger)) return {};
  return none();
}

// Whether the capture replaces this handler: a file handler when this
// object has a file and takes the name over, or any stream handler (file
// handlers included) when it has a console. Attributes are read only while
// the answer is still open.
int replaces(PyObject* self, PyObject* handler) noexcept {
  Ref file_classes[] = {global(N.TimedRotatingFileHandler), global(N.RotatingFileHandler),
                        logging_attr(N.FileHandler)};
  int is_file = 0;
  for (Ref& cls : file_classes) {
    if (!cls) return -1;
    int r = PyObject_IsInstance(handler, cls.get());
    if (r < 0) return -1;
    if (r) {
      is_file = 1;
      break;
    }
  }
  if (is_file) {
    int has_file = attr_truth(self, N.file);
    if (has_file < 0) return -1;
    if (has_file) {
      int takes_over = attr_truth(self, N.rehandler);
      if (takes_over != 0) return takes_over;
    }
  }
  Ref stream_class = logging_attr(N.StreamHandler);
  if (!stream_class) return -1;
  int is_stream = PyObject_IsInstance(handler, stream_class.get());
  if (is_stream <= 0) return is_stream;
  return attr_truth(self, N.console);
}

// handler.close(), then logger.removeHandler(handler); an Exception from
// either is discarded (after a failed close() the handler stays attached).
int detach(PyObject* logger, PyObject* handler) noexcept {
  Ref r = call_method(handler, N.close);
  if (r) r = call_method(logger, N.removeHandler, handler);
  if (!r) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
  }
  return 0;
}

// Records every handler of the logger, detaches the ones this object
// replaces, and stacks this object above the top of the name's stack.
int capture(PyObject* self, PyObject* name, PyObject* logger) noexcept {
  Ref current = getattr(logger, N.handlers);
  if (!current) return -1;
  Ref walk = Ref::steal(PySequence_List(current.get()));
  Ref records = Ref::steal(PyList_New(0));
  Ref ids = Ref::steal(PyList_New(0));
  if (!walk || !records || !ids) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
    PyObject* handler = PyList_GET_ITEM(walk.get(), i);
    Ref id = Ref::steal(PyLong_FromVoidPtr(handler));
    if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
    Ref record = handler_record(handler);
    if (!record || PyList_Append(records.get(), record.get()) < 0) return -1;
    int detaching = replaces(self, handler);
    if (detaching < 0) return -1;
    if (detaching && detach(logger, handler) < 0) return -1;
  }

  // index: the top of the name's stack, 0 when the name has none.
  Ref index = top_position(name, 0);
  if (!index) return -1;

  Ref captures = global(N._CAPTURES);
  if (!captures) return -1;
  Ref empty = Ref::steal(PyDict_New());
  if (!empty || !call_method(captures.get(), N.setdefault, name, empty.get())) return -1;
  Ref per_name = Ref::steal(PyObject_GetItem(captures.get(), name));
  Ref record = Ref::steal(PyDict_New());
  if (!per_name || !record || PyDict_SetItem(record.get(), N.handlers, records.get()) < 0 ||
      PyDict_SetItem(record.get(), N.handler_ids, ids.get()) < 0)
    return -1;
  int above = compare_position(index.get(), 0);
  if (above < 0) return -1;
  if (!above) {
    // A logger made outside this module: keep what the set-up below will
    // change, so that close can hand the logger back as it was.
    for (PyObject* key : {N.level, N.propagate}) {
      Ref value = getattr(logger, key);
      if (!value || PyDict_SetItem(record.get(), key, value.get()) < 0) return -1;
    }
  }
  Ref entry = Ref::steal(PyDict_New());
  if (!entry || PyDict_SetItem(entry.get(), index.get(), record.get()) < 0 ||
      !call_method(per_name.get(), N.update, entry.get()) ||
      hold_captured(name, index.get(), walk.get()) < 0)
    return -1;
  if (!above) return 0;
  Ref loggers = global(N._LOGGERS);
  if (!loggers) return -1;
  Ref name_stack = Ref::steal(PyObject_GetItem(loggers.get(), name));
  if (!name_stack) return -1;
  Ref top = Ref::steal(PyObject_GetItem(name_stack.get(), index.get()));
  if (!top || !call_method(top.get(), N.disable)) return -1;
  Ref next = shifted(index.get(), 1);
  if (!next) return -1;
  name_stack = Ref::steal(PyObject_GetItem(loggers.get(), name));
  if (!name_stack || PyObject_SetItem(name_stack.get(), next.get(), self) < 0) return -1;
  return 0;
}

Ref captures_logger(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  Ref name = bind_standard_logger(self);
  if (!name) return {};
  Ref logger = getattr(self, N._logger);
  if (!logger) return {};
  Ref current = getattr(logger.get(), N.handlers);
  if (!current) return {};
  int has_handlers = PyObject_IsTrue(current.get());
  if (has_handlers < 0) return {};
  if (has_handlers && capture(self, name.get(), logger.get()) < 0) return {};
  if (setup_standard_logger(self) < 0) return {};
  return none();
}

const Param init_params[] = {
    {"self"},
    {.name = "name", .check = Check::Str, .annotation = "str"},
    kLevelParam,
    kFileParam,
    kHandlerTypeParam,
    kConsoleParam,
    kRehandlerParam,
    kExtraKeywords,
};
const Param self_only[] = {{"self"}};

}  // namespace

const Signature get_logger_init_sig = {
    .name = "__init__",
    .qualname = "_GetLogger.__init__",
    .doc = "_GetLogger.__init__(self, str name: str, int level: int = logging.DEBUG, str file: "
           "Optional[str] = None, str handler_type: str = 'file', console: bool = True, "
           "rehandler: bool = False, **kwargs) -> None",
    .params = init_params,
    .returns = "None",
    .impl = get_logger_init,
    .uses_super = true,
};

const Signature captures_logger_sig = {
    .name = "_captures_logger",
    .qualname = "_GetLogger._captures_logger",
    .doc = "_GetLogger._captures_logger(self)",
    .params = self_only,
    .returns = nullptr,
    .impl = captures_logger,
};

}  // namespace lm
