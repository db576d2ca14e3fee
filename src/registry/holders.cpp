// KnownHolders: the references to a handler that the module can account for, counted.
#include "registry/holders.hpp"

namespace lm {
namespace {

// The reference count of `obj` when it can be read exactly: on the
// free-threaded build only for an object this thread owns, whose local part
// no other thread changes.
bool exact_refcount(PyObject* obj, Py_ssize_t* refs) noexcept {
#ifdef Py_GIL_DISABLED
  if (!_Py_IsOwnedByCurrentThread(obj)) return false;
#endif
  *refs = Py_REFCNT(obj);
  return true;
}

// How often `obj` is an item of `seq` (a list or tuple), by identity.
Py_ssize_t items_of(PyObject* seq, PyObject* obj) noexcept {
  Py_ssize_t n = 0;
  Py_BEGIN_CRITICAL_SECTION(seq);
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  for (Py_ssize_t i = 0; i < size; ++i) n += items[i] == obj;
  Py_END_CRITICAL_SECTION();
  return n;
}

// How often `obj` is one of the object's own attribute values.
struct Count {
  PyObject* obj;
  Py_ssize_t n;
};
int count_value(PyObject* value, void* arg) noexcept {
  auto* c = static_cast<Count*>(arg);
  c->n += value == c->obj;
  return 0;
}
Py_ssize_t attribute_values(PyObject* of, PyObject* obj) noexcept {
  Count c{obj, 0};
  Py_BEGIN_CRITICAL_SECTION(of);
  PyObject_VisitManagedDict(of, count_value, &c);
  Py_END_CRITICAL_SECTION();
  return c.n;
}

// The lists among a __dict__'s values, each with how many values it is.
struct Lists {
  static constexpr int kMax = 4;
  Ref list[kMax];
  Py_ssize_t values[kMax] = {};
  int n = 0;

  void add(PyObject* value) noexcept {
    for (int i = 0; i < n; ++i) {
      if (list[i].get() == value) {
        ++values[i];
        return;
      }
    }
    if (n == kMax) return;  // more lists than room: their items go uncounted
    list[n] = Ref::borrow(value);
    values[n++] = 1;
  }
};

// The references to `handler` from the logger's attribute values and from
// the items of the lists among them, counted only where the logger is the
// sole holder: of its __dict__ (besides the reference taken here), and of
// each list (besides its values and the reference taken here).
Py_ssize_t logger_values(PyObject* logger, PyObject* handler) noexcept {
  if (!(Py_TYPE(logger)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return 0;
  Ref dict = Ref::steal(PyObject_GenericGetDict(logger, nullptr));
  if (!dict) return -1;
  Py_ssize_t refs = 0;
  if (!PyDict_CheckExact(dict.get()) || !exact_refcount(dict.get(), &refs) || refs > 2) return 0;
  Py_ssize_t n = 0;
  Lists lists;
  Py_BEGIN_CRITICAL_SECTION(dict.get());
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.get(), &pos, &key, &value)) {
    if (value == handler) ++n;
    if (PyList_CheckExact(value)) lists.add(value);
  }
  Py_END_CRITICAL_SECTION();
  for (int i = 0; i < lists.n; ++i) {
    PyObject* list = lists.list[i].get();
    if (exact_refcount(list, &refs) && refs <= lists.values[i] + 1) n += items_of(list, handler);
  }
  return n;
}

}  // namespace

bool KnownHolders::added(PyObject* obj) const noexcept {
  if (obj == logger_) return true;
  for (int i = 0; i < nprivates_; ++i)
    if (privates_[i].seq == obj) return true;
  for (int i = 0; i < nobjects_; ++i)
    if (objects_[i] == obj) return true;
  return false;
}

void KnownHolders::add_logger(PyObject* logger) noexcept {
  if (!logger_ && !added(logger)) logger_ = logger;
}

void KnownHolders::add_private(PyObject* seq, Py_ssize_t refs) noexcept {
  if (nprivates_ < kMax && !added(seq)) privates_[nprivates_++] = {seq, refs};
}

void KnownHolders::add_object(PyObject* obj) noexcept {
  if (obj && nobjects_ < kMax && !added(obj)) objects_[nobjects_++] = obj;
}

int KnownHolders::hold_all(PyObject* handler) const noexcept {
  Py_ssize_t refs = 0;
  if (!exact_refcount(handler, &refs)) return 0;
  Py_ssize_t known = 0;
  if (logger_) {
    known = logger_values(logger_, handler);
    if (known < 0) return -1;
  }
  for (int i = 0; i < nprivates_; ++i) {
    const Private& p = privates_[i];
    Py_ssize_t seq_refs = 0;
    if (exact_refcount(p.seq, &seq_refs) && seq_refs <= p.refs) known += items_of(p.seq, handler);
  }
  for (int i = 0; i < nobjects_; ++i) known += attribute_values(objects_[i], handler);
  // More found than counted would mean a holder counted twice: not known.
  return known == refs;
}

}  // namespace lm
