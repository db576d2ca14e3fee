// The mark close() leaves on each logger object it ends: a closed object told from a disabled one.
#include "registry/registries.hpp"
#include "registry/stack.hpp"

namespace lm {
namespace {

// The callback of a mark's weak reference: its object is going, so the
// mark goes too, before the object's id can be another's. `key` is the
// mark's key, bound as the callback's self.
PyObject* drop_mark(PyObject* key, PyObject* ref) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(state.closed, key, &found) < 0) return nullptr;
  Ref mark = Ref::steal(found);
  if (mark.get() == ref && PyDict_DelItem(state.closed, key) < 0) return nullptr;
  return Py_NewRef(Py_None);
}

PyMethodDef drop_mark_def = {"drop_mark", drop_mark, METH_O, nullptr};

// state.closed[id(obj)] = a weak reference to obj that drops the entry
// when obj goes. A mark made again replaces the first (whose callback is
// never called, as its reference goes first).
int mark_closed(PyObject* obj) noexcept {
  Ref key = py_id(obj);
  if (!key) return -1;
  Ref callback = Ref::steal(PyCFunction_New(&drop_mark_def, key.get()));
  if (!callback) return -1;
  Ref ref = Ref::steal(PyWeakref_NewRef(obj, callback.get()));
  if (!ref) return -1;
  return PyDict_SetItem(state.closed, key.get(), ref.get());
}

}  // namespace

void end_object(PyObject* obj, Pending& pending) noexcept {
  if (mark_closed(obj) < 0) pending.keep();
  if (!call_method(obj, N.disable)) pending.keep();
}

int was_closed(PyObject* obj) noexcept {
  Ref key = py_id(obj);
  if (!key) return -1;
  PyObject* found = nullptr;
  int marked = PyDict_GetItemRef(state.closed, key.get(), &found);
  if (marked <= 0) return marked;
  Ref mark = Ref::steal(found);
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(mark.get(), &target) < 0) return -1;
  Ref held = Ref::steal(target);
  return held.get() == obj ? 1 : 0;
}

}  // namespace lm
