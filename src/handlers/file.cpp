// _create_file_handler: the log file of a logger object, of one of three kinds.
#include "handlers/configure.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"
#include "variants/stack.hpp"

namespace lm {
namespace {

// args[key] = self.kwargs.get(key, default)
int put_option(PyObject* args, PyObject* options, PyObject* key, Ref dflt) noexcept {
  if (!dflt) return -1;
  Ref value = call_method(options, N.get, key, dflt.get());
  if (!value) return -1;
  return PyDict_SetItem(args, key, value.get());
}

Ref integer(long v) noexcept { return Ref::steal(PyLong_FromLong(v)); }

// 1, 0 or -1: whether `kind` == `expected`.
int is_kind(PyObject* kind, PyObject* expected) noexcept {
  return PyObject_RichCompareBool(kind, expected, Py_EQ);
}

Ref make_file_formatter() noexcept {
  Ref formatter_class = logging_attr(N.Formatter);
  if (!formatter_class) return {};
  Ref fmt = global(N._fformatter);
  if (!fmt) return {};
  return call_kw(formatter_class.get(), {}, {{N.fmt, fmt.get()}});
}

// Builds the handler for self.handler_type from the option dict `args`;
// *timed tells whether it is the "timerotating" kind.
Ref build_handler(PyObject* self, PyObject* args, PyObject* options, bool* timed) noexcept {
  Ref kind = getattr(self, N.handler_type);
  if (!kind) return {};
  int match = is_kind(kind.get(), N.s_file);
  if (match < 0) return {};
  if (match) {
    if (put_option(args, options, N.mode, Ref::borrow(N.s_a)) < 0) return {};
    Ref cls = logging_attr(N.FileHandler);
    if (!cls) return {};
    return call_dict(cls.get(), {}, args);
  }
  match = is_kind(kind.get(), N.s_rotating);
  if (match < 0) return {};
  if (match) {
    if (put_option(args, options, N.mode, Ref::borrow(N.s_a)) < 0 ||
        put_option(args, options, N.maxBytes, integer(104857600)) < 0 ||
        put_option(args, options, N.backupCount, integer(100)) < 0)
      return {};
    Ref cls = global(N.RotatingFileHandler);
    if (!cls) return {};
    return call_dict(cls.get(), {}, args);
  }
  match = is_kind(kind.get(), N.s_timerotating);
  if (match < 0) return {};
  if (match) {
    if (put_option(args, options, N.when, Ref::borrow(N.s_midnight)) < 0 ||
        put_option(args, options, N.interval, integer(1)) < 0 ||
        put_option(args, options, N.backupCount, integer(365)) < 0)
      return {};
    Ref cls = global(N.TimedRotatingFileHandler);
    if (!cls) return {};
    *timed = true;
    return call_dict(cls.get(), {}, args);
  }
  Ref text = Ref::steal(PyObject_Str(kind.get()));
  if (!text) return {};
  Ref tail = str(" 不是有效的处理器类型，可选值 [file, rotating, timerotating]");
  if (!tail) return {};
  Ref message = concat({text.get(), tail.get()});
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return {};
}

Ref create_file_handler(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  int wanted = attr_truth(self, N.file);
  if (wanted <= 0) return wanted < 0 ? Ref{} : none();

  {  // os.makedirs(os.path.dirname(self.file), exist_ok=True)
    Ref os = global(N.os);
    if (!os) return {};
    Ref os_path = getattr(os.get(), N.path);
    Ref file = getattr(self, N.file);
    if (!os_path || !file) return {};
    Ref dir = call_method(os_path.get(), N.dirname, file.get());
    if (!dir) return {};
    Ref makedirs = getattr(os.get(), N.makedirs);
    if (!makedirs || !call_kw(makedirs.get(), {dir.get()}, {{N.exist_ok, Py_True}})) return {};
  }

  Ref args = Ref::steal(PyDict_New());
  Ref file = getattr(self, N.file);
  Ref options = getattr(self, N.kwargs);
  if (!args || !file || !options || PyDict_SetItem(args.get(), N.filename, file.get()) < 0 ||
      put_option(args.get(), options.get(), N.encoding, Ref::borrow(N.s_utf8)) < 0)
    return {};
  bool timed = false;
  Ref handler = build_handler(self, args.get(), options.get(), &timed);
  if (!handler || setattr(self, N._file_handler, handler.get()) < 0) return {};
  if (timed) {  // a new naming function for each handler
    Ref namer = make_function(namer_sig, state.ns, N.s_log_main);
    handler = getattr(self, N._file_handler);
    if (!namer || !handler || setattr(handler.get(), N.namer, namer.get()) < 0) return {};
  }

  if (configure_and_attach(self, N._file_handler, N.file_level, make_file_formatter) < 0)
    return {};

  // Registered only once the handler is attached.
  Ref registry = registry_dict(N._FHANDLERS);
  file = getattr(self, N.file);
  Ref kind = getattr(self, N.handler_type);
  if (!registry || !file || !kind || PyDict_SetItem(registry.get(), file.get(), kind.get()) < 0)
    return {};
  return none();
}

const Param params[] = {{"self"}};

}  // namespace

const Signature create_file_handler_sig = {
    .name = "_create_file_handler",
    .qualname = "_LogBase._create_file_handler",
    .params = params,
    .returns = "None",
    .impl = create_file_handler,
};

}  // namespace lm
