// The first log file a configuring construction registered that _FHANDLERS did not hold.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Made by a configuring construction (under the module lock, so one at a
// time; a construction that user code runs inside it nests): the file
// builder notes in the innermost one the first file it registered that
// the registry did not hold, so that a registration failing afterwards can
// take the entry out again.
class NewFile {
 public:
  NewFile() noexcept;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // registry[path] = kind was just stored, and the registry had no path.
  static void note(PyObject* registry, PyObject* path, PyObject* kind) noexcept;

  Ref registry, path, kind;  // empty until noted

 private:
  NewFile* outer_;
};

}  // namespace lm
