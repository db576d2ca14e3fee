// The capture records and the held entries kept beside them.
#include "registry/records.hpp"

#include <utility>

#include "handlers/kinds.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

// The keyword arguments of the handler's class, tested in order (the
// rotating classes before FileHandler, which they derive from): an empty
// dict for a stream handler, and an empty Ref with no exception set for any
// other class, whose record gets no keyword arguments.
Ref record_kwargs(PyObject* handler) noexcept {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return {};
  for (const HandlerKind& k : kHandlerKinds) {
    Ref cls = kind_class(k);
    int is = cls ? PyObject_IsInstance(handler, cls.get()) : -1;
    if (is < 0) return {};
    if (!is) continue;
    for (PyObject* Names::*key : k.record_keys) {
      Ref value = getattr(handler, key == &Names::filename ? N.baseFilename : N.*key);
      if (!value || PyDict_SetItem(kwargs.get(), N.*key, value.get()) < 0) return {};
    }
    return kwargs;
  }
  Ref stream_class = logging_attr(N.StreamHandler);
  int is = stream_class ? PyObject_IsInstance(handler, stream_class.get()) : -1;
  if (is < 0) return {};
  return is ? std::move(kwargs) : Ref{};
}

// The value a handler record holds under `key`: an empty Ref with no
// exception set when it holds none.
Ref handler_value(PyObject* handler, const record_keys::HandlerKey& key) noexcept {
  switch (key.source) {
    case record_keys::Source::kId:
      return py_id(handler);
    case record_keys::Source::kType:
      return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(handler)));
    case record_keys::Source::kAttribute:
      return getattr(handler, N.*key.key);
    case record_keys::Source::kKindArgs:
      return record_kwargs(handler);
  }
  return {};
}

}  // namespace

Ref handler_record(PyObject* handler) noexcept {
  Ref record = Ref::steal(PyDict_New());
  if (!record) return {};
  for (const record_keys::HandlerKey& key : record_keys::kHandler) {
    Ref value = handler_value(handler, key);
    if (!value && PyErr_Occurred()) return {};
    if (value && PyDict_SetItem(record.get(), N.*key.key, value.get()) < 0) return {};
  }
  return record;
}

Ref capture_record(PyObject* records, PyObject* ids, PyObject* logger_state) noexcept {
  Ref record = Ref::steal(PyDict_New());
  if (!record || PyDict_SetItem(record.get(), N.*record_keys::kHandlers, records) < 0 ||
      PyDict_SetItem(record.get(), N.*record_keys::kHandlerIds, ids) < 0)
    return {};
  if (!logger_state) return record;
  Py_ssize_t i = 0;
  for (PyObject* Names::*key : record_keys::kLoggerState)
    if (PyDict_SetItem(record.get(), N.*key, PyTuple_GET_ITEM(logger_state, i++)) < 0) return {};
  return record;
}

Ref held_entry_key(PyObject* name, PyObject* position) noexcept {
  return Ref::steal(PyTuple_Pack(2, name, position));
}

Ref make_held_entry(PyObject* handlers, PyObject* detached, PyObject* logger_state) noexcept {
  return Ref::steal(PyTuple_Pack(3, handlers, detached, logger_state));
}

HeldCapture held_capture(PyObject* entry) noexcept {
  return {PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), PyTuple_GET_ITEM(entry, 2)};
}

}  // namespace lm
