// The first exception that must not be lost while a walk or an undo goes on.
#pragma once

#include "capi/ref.hpp"

namespace lm {

// Collects what fails while work must go on: the first exception kept is
// raised once the work is done. Where a failure of user code is no reason to
// stop, an ordinary Exception is discarded and only what is not one
// (KeyboardInterrupt, SystemExit) is kept.
class Pending {
 public:
  // Takes the exception in flight; keeps it if it is the first.
  void keep() noexcept;
  // Takes the exception in flight: discards it when it is an Exception,
  // otherwise keeps it if it is the first.
  void keep_unless_exception() noexcept;
  // -1 with the kept exception raised, or 0.
  int finish() noexcept;

 private:
  Ref first_;
};

}  // namespace lm
