// Classes found fit on the free-threaded build, remembered by version tag with the functions found.
#pragma once

#include "capi/ref.hpp"

namespace lm::hot {

// What a check of a class asks (a logger class, LogRecord, the class of a
// logger object): its answers differ, so a class is remembered for each.
enum class FitKind : unsigned char { Logger, Record, Self };

#ifdef Py_GIL_DISABLED

constexpr int kFitFuncs = 10;  // the methods of Logger.log's path, and Logger._is_disabled

// What a check of a class found: logging's functions on it, each with the
// code that made it pass, held.
struct FitFound {
  Ref funcs[kFitFuncs];
  Ref codes[kFitFuncs];
  int n = 0;
  void add(Ref func, PyObject* code) noexcept {
    if (n == kFitFuncs) return;
    codes[n] = Ref::borrow(code);
    funcs[n++] = std::move(func);
  }
};

// Whether `type` (alive), with the version tag it has now, was found fit
// for `kind` against logging's source `file` (null where none is read), and each function then found
// still has the code that made it pass.
bool fit_remembered(FitKind kind, PyTypeObject* type, PyObject* file) noexcept;

// What remembers one class found fit: never freed, so it can be kept.
struct FitEntry;

// The entry that remembers `type` (alive) as fit for `kind` against
// logging's source `file`, or null.
const FitEntry* fit_entry(FitKind kind, PyTypeObject* type, PyObject* file) noexcept;

// Whether `entry` still holds for `type`, which the caller found alive: the
// class it remembers, with the same tag, its functions' code unchanged.
bool fit_holds(const FitEntry* entry, PyTypeObject* type) noexcept;

// Remembers `type` as found fit with `found`, when its tag is still `tag`
// (read before anything was looked up on it).
void remember_fit(FitKind kind, PyTypeObject* type, unsigned int tag, PyObject* file,
                  FitFound& found) noexcept;

#endif  // Py_GIL_DISABLED

}  // namespace lm::hot
