// Handler records: what a capture keeps of each handler to rebuild it later.
#include "variants/capture_records.hpp"

#include <initializer_list>

#include "module/state.hpp"

namespace lm {
namespace {

// 1 when handler is an instance of the class `cls` (a borrowed or held
// object), 0 when not, -1 on error.
int instance_of(PyObject* handler, const Ref& cls) noexcept {
  if (!cls) return -1;
  return PyObject_IsInstance(handler, cls.get());
}

// kwargs[key] = handler.<key>, for each key; "filename" reads baseFilename.
int copy_attrs(PyObject* kwargs, PyObject* handler,
               std::initializer_list<PyObject*> keys) noexcept {
  for (PyObject* key : keys) {
    Ref value = getattr(handler, key == N.filename ? N.baseFilename : key);
    if (!value || PyDict_SetItem(kwargs, key, value.get()) < 0) return -1;
  }
  return 0;
}

// The rebuild keywords for the handler's class, tested in order; an empty
// Ref with no exception set means the record gets no "kwargs".
Ref rebuild_kwargs(PyObject* handler) noexcept {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  int is = instance_of(handler, global(N.TimedRotatingFileHandler));
  if (is < 0) return {};
  if (is) {
    if (copy_attrs(kwargs.get(), handler,
                   {N.filename, N.mode, N.encoding, N.delay, N.errors, N.when, N.interval,
                    N.backupCount, N.utc, N.atTime}) < 0)
      return {};
    return kwargs;
  }
  is = instance_of(handler, global(N.RotatingFileHandler));
  if (is < 0) return {};
  if (is) {
    if (copy_attrs(kwargs.get(), handler,
                   {N.filename, N.mode, N.encoding, N.delay, N.errors, N.maxBytes,
                    N.backupCount}) < 0)
      return {};
    return kwargs;
  }
  is = instance_of(handler, logging_attr(N.FileHandler));
  if (is < 0) return {};
  if (is) {
    if (copy_attrs(kwargs.get(), handler,
                   {N.filename, N.mode, N.encoding, N.delay, N.errors}) < 0)
      return {};
    return kwargs;
  }
  Ref stream_class = logging_attr(N.StreamHandler);
  is = instance_of(handler, stream_class);
  if (is < 0) return {};
  if (is) {
    // A plain StreamHandler is rebuilt on the stream it wrote to; the
    // constructors of subclasses may take other arguments, so theirs stay empty.
    if (Py_TYPE(handler) == reinterpret_cast<PyTypeObject*>(stream_class.get()) &&
        copy_attrs(kwargs.get(), handler, {N.stream}) < 0)
      return {};
    return kwargs;
  }
  return {};
}

}  // namespace

Ref handler_record(PyObject* handler) noexcept {
  Ref record = Ref::steal(PyDict_New());
  if (!record) return {};
  Ref id = Ref::steal(PyLong_FromVoidPtr(handler));
  if (!id || PyDict_SetItem(record.get(), N.id, id.get()) < 0 ||
      PyDict_SetItem(record.get(), N.type, reinterpret_cast<PyObject*>(Py_TYPE(handler))) < 0)
    return {};
  for (PyObject* key : {N.level, N.name, N.filters, N.formatter}) {
    Ref value = getattr(handler, key);
    if (!value || PyDict_SetItem(record.get(), key, value.get()) < 0) return {};
  }
  Ref kwargs = rebuild_kwargs(handler);
  if (!kwargs) {
    if (PyErr_Occurred()) return {};
    return record;
  }
  if (PyDict_SetItem(record.get(), N.kwargs, kwargs.get()) < 0) return {};

  // Rotating handlers keep their naming function and rotator, so that a
  // rebuilt handler rolls over under the same names.
  Ref handlers_module = logging_attr(N.handlers_module);
  if (!handlers_module) return {};
  Ref base = getattr(handlers_module.get(), N.BaseRotatingHandler);
  int rotating = instance_of(handler, base);
  if (rotating < 0) return {};
  if (rotating) {
    for (PyObject* key : {N.namer, N.rotator}) {
      Ref value = getattr(handler, key);
      if (!value || PyDict_SetItem(record.get(), key, value.get()) < 0) return {};
    }
  }
  return record;
}

}  // namespace lm
