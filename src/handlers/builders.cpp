// A logger object's handlers: the console and file builders, and the rotated-file namer.

#include "handlers/handlers.hpp"

#include "function/function.hpp"
#include "handlers/kinds.hpp"
#include "handlers/logger_level.hpp"
#include "process/new_file.hpp"
#include "process/state.hpp"

namespace lm {

extern const Signature namer_sig;

namespace {

using MakeFormatter = Ref (*)() noexcept;

// self.<handler_attr>.setLevel(self.<level_attr>), .setFormatter(make()),
// .addFilter(self._handler_filter), then self._logger.addHandler(it), and
// that logger's level follows the handlers it now carries; the handler
// attribute is read again for each step.
int configure_and_attach(PyObject* self, PyObject* handler_attr, PyObject* level_attr,
                         MakeFormatter make) noexcept {
  Ref handler = getattr(self, handler_attr);
  if (!handler) return -1;
  Ref level = getattr(self, level_attr);
  if (!level || !call_method(handler.get(), N.setLevel, level.get())) return -1;

  handler = getattr(self, handler_attr);
  if (!handler) return -1;
  Ref formatter = make();
  if (!formatter || !call_method(handler.get(), N.setFormatter, formatter.get())) return -1;

  handler = getattr(self, handler_attr);
  if (!handler) return -1;
  Ref filter = getattr(self, N._handler_filter);
  if (!filter || !call_method(handler.get(), N.addFilter, filter.get())) return -1;

  Ref logger = getattr(self, N._logger);
  if (!logger) return -1;
  handler = getattr(self, handler_attr);
  if (!handler || !call_method(logger.get(), N.addHandler, handler.get())) return -1;
  return follow_handlers(logger.get());
}

// colorlog.ColoredFormatter(fmt=_cformatter, log_colors=_colors): exactly
// these two keywords, everything else keeps colorlog's defaults.
Ref make_colored_formatter() noexcept {
  Ref colorlog = global(N.colorlog);
  if (!colorlog) return {};
  Ref formatter_class = getattr(colorlog.get(), N.ColoredFormatter);
  if (!formatter_class) return {};
  Ref fmt = global(N._cformatter);
  if (!fmt) return {};
  Ref colors = global(N._colors);
  if (!colors) return {};
  return call_kw(formatter_class.get(), {}, {{N.fmt, fmt.get()}, {N.log_colors, colors.get()}});
}

Ref create_console_handler(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  int wanted = attr_truth(self, N.console);
  if (wanted <= 0) return wanted < 0 ? Ref{} : none();

  Ref colorlog = global(N.colorlog);
  if (!colorlog) return {};
  Ref stream_handler = getattr(colorlog.get(), N.StreamHandler);
  if (!stream_handler) return {};
  Ref handler = call(stream_handler.get());
  if (!handler || setattr(self, N._console_handler, handler.get()) < 0) return {};
  if (configure_and_attach(self, N._console_handler, N.console_level,
                           make_colored_formatter) < 0)
    return {};
  return none();
}

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

// The error's text after the kind given: the kinds there are.
constexpr ConstText kNotAKind = [] {
  ConstText t;
  t << " 不是有效的处理器类型，可选值 [";
  put_kind_names(t, "", ", ") << "]";
  return t;
}();

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
  for (std::size_t i = std::size(kHandlerKinds); i-- > 0;) {
    const HandlerKind& k = kHandlerKinds[i];
    int match = is_kind(kind.get(), N.*k.kind);
    if (match < 0) return {};
    if (!match) continue;
    for (const Option& o : k.options) {
      Ref dflt = o.text ? Ref::borrow(N.*o.text) : integer(o.number);
      if (put_option(args, options, N.*o.key, std::move(dflt)) < 0) return {};
    }
    Ref cls = kind_class(k);
    if (!cls) return {};
    *timed = &k == &kTimedKind;
    return call_dict(cls.get(), {}, args);
  }
  Ref text = Ref::steal(PyObject_Str(kind.get()));
  if (!text) return {};
  raise_value_error({text.get(), kNotAKind.s});
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
    if (!os_path) return {};
    Ref file = getattr(self, N.file);
    if (!file) return {};
    Ref dir = call_method(os_path.get(), N.dirname, file.get());
    if (!dir) return {};
    Ref makedirs = getattr(os.get(), N.makedirs);
    if (!makedirs || !call_kw(makedirs.get(), {dir.get()}, {{N.exist_ok, Py_True}})) return {};
  }

  Ref args = Ref::steal(PyDict_New());
  if (!args) return {};
  Ref file = getattr(self, N.file);
  if (!file) return {};
  Ref options = getattr(self, N.kwargs);
  if (!options || PyDict_SetItem(args.get(), N.filename, file.get()) < 0 ||
      put_option(args.get(), options.get(), N.encoding, Ref::borrow(N.s_utf8)) < 0)
    return {};
  bool timed = false;
  Ref handler = build_handler(self, args.get(), options.get(), &timed);
  if (!handler || setattr(self, N._file_handler, handler.get()) < 0) return {};
  if (timed) {  // a new naming function for each handler
    Ref namer = make_function(namer_sig, state.ns, N.s_log_main);
    if (!namer) return {};
    handler = getattr(self, N._file_handler);
    if (!handler || setattr(handler.get(), N.namer, namer.get()) < 0) return {};
  }

  if (configure_and_attach(self, N._file_handler, N.file_level, make_file_formatter) < 0)
    return {};

  // Registered only once the handler is attached.
  Ref registry = registry_dict(N._FHANDLERS);
  if (!registry) return {};
  file = getattr(self, N.file);
  if (!file) return {};
  Ref kind = getattr(self, N.handler_type);
  if (!kind) return {};
  int had = PyDict_Contains(registry.get(), file.get());
  if (had < 0 || PyDict_SetItem(registry.get(), file.get(), kind.get()) < 0) return {};
  if (!had) NewFile::note(registry.get(), file.get(), kind.get());
  return none();
}

// Only the base name (the last path component) is edited: every ".log" in
// it is deleted and ".log" appended. The directories stay as they are, so a
// directory such as /srv/my.logs/ is never rewritten. The base name is the
// tail os.path.split gives (on Windows it follows the last "\\" or "/", or
// a drive's ":"); what comes before it is kept as written.
Ref namer(Func*, Bound& a) noexcept {
  PyObject* name = a[0];
  if (!PyUnicode_Check(name)) {
    raise_arg_type("name", "str", name);
    return {};
  }
  Ref os = global(N.os);
  Ref os_path = os ? getattr(os.get(), N.path) : Ref{};
  Ref parts = os_path ? call_method(os_path.get(), N.split, name) : Ref{};
  if (!parts) return {};
  PyObject* tail = PyTuple_Check(parts.get()) && PyTuple_GET_SIZE(parts.get()) == 2
                       ? PyTuple_GET_ITEM(parts.get(), 1)
                       : nullptr;
  const Py_ssize_t len = PyUnicode_GET_LENGTH(name);
  if (!tail || !PyUnicode_Check(tail) || PyUnicode_Tailmatch(name, tail, 0, len, 1) != 1) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_ValueError, "os.path.split(%R) gave %R, not (head, tail of it)", name,
                   parts.get());
    return {};
  }
  const Py_ssize_t base_at = len - PyUnicode_GET_LENGTH(tail);
  Ref head = Ref::steal(PyUnicode_Substring(name, 0, base_at));
  Ref base = Ref::steal(PyUnicode_Substring(name, base_at, len));
  if (!head || !base) return {};
  Ref stripped = Ref::steal(PyUnicode_Replace(base.get(), N.s_dotlog, N.s_empty, -1));
  if (!stripped) return {};
  return concat({head.get(), stripped.get(), N.s_dotlog});
}

const Param namer_params[] = {{.name = "name", .annotation = "str"}};

}  // namespace

const Signature create_console_handler_sig = {
    .name = "_create_console_handler",
    .qualname = "_LogBase._create_console_handler",
    .params = kSelfOnly,
    .returns = "None",
    .impl = create_console_handler,
};

const Signature create_file_handler_sig = {
    .name = "_create_file_handler",
    .qualname = "_LogBase._create_file_handler",
    .params = kSelfOnly,
    .returns = "None",
    .impl = create_file_handler,
};

const Signature namer_sig = {
    .name = "namer",
    .qualname = "_LogBase._create_file_handler.<locals>.namer",
    .params = namer_params,
    .returns = "str",
    .impl = namer,
};

}  // namespace lm
