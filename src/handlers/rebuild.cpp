// Rebuilding a captured handler from its handler record.
#include "handlers/rebuild.hpp"

#include <cstring>

#include "module/state.hpp"

namespace lm {
namespace {

// record[key], as plain indexing reads it.
Ref item(PyObject* record, PyObject* key) noexcept {
  return Ref::steal(PyObject_GetItem(record, key));
}

// "w" -> "a", "w+" -> "a+", "xb" -> "ab": the same mode, appending.
Ref append_mode(PyObject* mode) noexcept {
  if (!PyUnicode_Check(mode)) return Ref::borrow(mode);
  const char* text = PyUnicode_AsUTF8(mode);
  if (!text) return {};
  if (!std::strpbrk(text, "wx")) return Ref::borrow(mode);
  Ref out = Ref::steal(PyUnicode_FromString(text));
  if (!out) return {};
  Ref w = str("w"), x = str("x");
  if (!w || !x) return {};
  out = Ref::steal(PyUnicode_Replace(out.get(), w.get(), N.s_a, -1));
  if (!out) return {};
  return Ref::steal(PyUnicode_Replace(out.get(), x.get(), N.s_a, -1));
}

// Seconds in one unit of a timed handler's (upper-cased) `when`, or 0.
long unit_seconds(PyObject* when) noexcept {
  if (!PyUnicode_Check(when)) return 0;
  const char* w = PyUnicode_AsUTF8(when);
  if (!w) {
    PyErr_Clear();
    return 0;
  }
  if (!std::strcmp(w, "S")) return 1;
  if (!std::strcmp(w, "M")) return 60;
  if (!std::strcmp(w, "H")) return 3600;
  if (!std::strcmp(w, "D") || !std::strcmp(w, "MIDNIGHT")) return 86400;
  if (w[0] == 'W' && w[1] >= '0' && w[1] <= '6' && w[2] == '\0') return 604800;
  return 0;
}

// The keywords actually passed to the handler class; the record's own
// dict is left as it was.
Ref constructor_kwargs(PyObject* cls, PyObject* recorded) noexcept {
  Ref kwargs = Ref::steal(PyDict_Copy(recorded));
  if (!kwargs) return {};
  Ref timed_class = global(N.TimedRotatingFileHandler);
  if (!timed_class) return {};
  int timed = PyType_Check(cls) && PyType_Check(timed_class.get())
                  ? PyObject_IsSubclass(cls, timed_class.get())
                  : 0;
  if (timed < 0) return {};
  if (timed) {
    if (PyDict_DelItem(kwargs.get(), N.mode) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
      PyErr_Clear();
    }
    PyObject* when = PyDict_GetItemWithError(kwargs.get(), N.when);
    PyObject* interval = PyDict_GetItemWithError(kwargs.get(), N.interval);
    if (PyErr_Occurred()) return {};
    long unit = when ? unit_seconds(when) : 0;
    if (unit && interval && PyLong_Check(interval)) {
      Ref divisor = Ref::steal(PyLong_FromLong(unit));
      Ref units = divisor ? Ref::steal(PyNumber_FloorDivide(interval, divisor.get())) : Ref{};
      if (!units || PyDict_SetItem(kwargs.get(), N.interval, units.get()) < 0) return {};
    }
    return kwargs;
  }
  PyObject* mode = PyDict_GetItemWithError(kwargs.get(), N.mode);
  if (mode) {
    Ref appending = append_mode(mode);
    if (!appending || PyDict_SetItem(kwargs.get(), N.mode, appending.get()) < 0) return {};
  } else if (PyErr_Occurred()) {
    return {};
  }
  return kwargs;
}

}  // namespace

Ref rebuild_handler(PyObject* logger, PyObject* record) noexcept {
  Ref cls = item(record, N.type);
  Ref recorded = item(record, N.kwargs);
  if (!cls || !recorded) return {};
  Ref kwargs = PyDict_Check(recorded.get()) ? constructor_kwargs(cls.get(), recorded.get())
                                             : recorded.copy();
  if (!kwargs) return {};
  Ref handler = call_dict(cls.get(), {}, kwargs.get());
  if (!handler) return {};

  for (PyObject* key : {N.namer, N.rotator}) {
    int present = PyMapping_HasKeyWithError(record, key);
    if (present < 0) return {};
    if (!present) continue;
    Ref value = item(record, key);
    if (!value || setattr(handler.get(), key, value.get()) < 0) return {};
  }

  Ref level = item(record, N.level);
  if (!level || !call_method(handler.get(), N.setLevel, level.get())) return {};
  Ref filters = item(record, N.filters);
  if (!filters) return {};
  Ref it = Ref::steal(PyObject_GetIter(filters.get()));
  if (!it) return {};
  while (Ref filter = Ref::steal(PyIter_Next(it.get()))) {
    if (!call_method(handler.get(), N.addFilter, filter.get())) return {};
  }
  if (PyErr_Occurred()) return {};
  Ref formatter = item(record, N.formatter);
  if (!formatter || !call_method(handler.get(), N.setFormatter, formatter.get())) return {};
  if (!call_method(logger, N.addHandler, handler.get())) return {};
  return handler;
}

}  // namespace lm
