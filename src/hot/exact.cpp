// The exact verdict: whether a record could be seen by anybody, read afresh.
#include "hot/exact.hpp"

#include "hot/checks.hpp"
#include "process/state.hpp"

namespace lm::hot {
namespace {

// Walks the handlers exactly as Logger.callHandlers does: 1 when at least
// one handler is reached and none has a level at or below `level`.
int no_handler_takes(PyObject* logger, long level) noexcept {
  Ref current = Ref::borrow(logger);
  Py_ssize_t found = 0;
  while (current) {
    int truthy = PyObject_IsTrue(current.get());
    if (truthy <= 0) {
      if (truthy < 0) return -1;
      break;
    }
    Ref handlers = own_attr(current.get(), N.handlers);
    if (!handlers) return PyErr_Occurred() ? -1 : 0;
    if (!PyList_CheckExact(handlers.get())) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
      // Taken with its own reference: another thread may remove it meanwhile.
      Ref handler = Ref::steal(PyList_GetItemRef(handlers.get(), i));
      if (!handler) return -1;
      ++found;
      Ref threshold = getattr(handler.get(), N.level);
      if (!threshold) return -1;
      if (!PyLong_CheckExact(threshold.get())) return 0;
      int overflow = 0;
      long t = PyLong_AsLongAndOverflow(threshold.get(), &overflow);
      if (overflow < 0 || (!overflow && t <= level)) return 0;
      if (t == -1 && PyErr_Occurred()) return -1;
    }
    Ref flag = own_attr(current.get(), N.propagate);
    if (!flag) return PyErr_Occurred() ? -1 : 0;
    int propagate = PyObject_IsTrue(flag.get());
    if (propagate < 0) return -1;
    if (!propagate) break;
    current = own_attr(current.get(), N.parent);
    if (!current) return PyErr_Occurred() ? -1 : 0;
    if (current.get() == Py_None) break;
  }
  return found > 0 ? 1 : 0;
}

// Logger.isEnabledFor(level) as logging answers it, filling the logger's
// level cache exactly as that call does: on a cache hit the cached answer,
// on a miss the call itself.
enum class Enabled : std::uint8_t { Yes, No, Doubt, Error };
Enabled enabled_for(PyObject* logger, PyObject* level) noexcept {
  Ref flag = own_attr(logger, N.disabled);
  if (!flag) return PyErr_Occurred() ? Enabled::Error : Enabled::Doubt;
  int disabled = PyObject_IsTrue(flag.get());
  if (disabled < 0) return Enabled::Error;
  if (disabled) return Enabled::No;
  Ref cache = own_attr(logger, N._cache);
  if (!cache) return PyErr_Occurred() ? Enabled::Error : Enabled::Doubt;
  Ref answer;
  if (PyDict_CheckExact(cache.get())) {
    PyObject* cached = nullptr;
    if (PyDict_GetItemRef(cache.get(), level, &cached) < 0) return Enabled::Error;
    answer = Ref::steal(cached);
  }
  if (!answer) answer = call_method(logger, N.isEnabledFor, level);
  if (!answer) return Enabled::Error;
  int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return Enabled::Error;
  return truth ? Enabled::Yes : Enabled::No;
}

Verdict from(int r) noexcept {
  return r < 0 ? Verdict::Error : (r ? Verdict::Skip : Verdict::Call);
}

Verdict decide(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept {
  if (arguments_inspected(args, kwargs)) return Verdict::Call;
  int overflow = 0;
  const long lvl = PyLong_AsLongAndOverflow(level, &overflow);
  if (overflow) return Verdict::Call;
  if (lvl == -1 && PyErr_Occurred()) return Verdict::Error;

  Ref logging = global(N.logging);
  if (!logging) return Verdict::Error;
  if (!PyModule_CheckExact(logging.get())) return Verdict::Call;
  if (!logger_type_untouched(Py_TYPE(logger), logging.get())) return Verdict::Call;
  int r = methods_not_shadowed(logger);
  if (r <= 0) return r < 0 ? Verdict::Error : Verdict::Call;
  Ref filters = own_attr(logger, N.filters);
  if (!filters) return PyErr_Occurred() ? Verdict::Error : Verdict::Call;
  if (!PyList_CheckExact(filters.get()) || PyList_GET_SIZE(filters.get()) != 0)
    return Verdict::Call;
  r = default_record_factory(logging.get());
  if (r <= 0) return r < 0 ? Verdict::Error : Verdict::Call;
  // A level the logger is not enabled for ends Logger.log right there.
  switch (enabled_for(logger, level)) {
    case Enabled::No: return Verdict::Skip;
    case Enabled::Doubt: return Verdict::Call;
    case Enabled::Error: return Verdict::Error;
    case Enabled::Yes: break;
  }
  return from(no_handler_takes(logger, lvl));
}

}  // namespace

Verdict decide_exactly(PyObject* logger, PyObject* level, PyObject* args,
                       PyObject* kwargs) noexcept {
  Verdict v = decide(logger, level, args, kwargs);
  if (v == Verdict::Error) {
    // An ordinary failure here only means doubt: the real call decides.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Verdict::Error;
    PyErr_Clear();
    return Verdict::Call;
  }
  return v;
}

}  // namespace lm::hot
