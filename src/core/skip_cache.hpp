// The one owner of what the hot paths cache, and of the watchers that say when it changes.
#pragma once

#include <cstdint>

#include "core/fast_path.hpp"
#include "runtime/function.hpp"

namespace lm::hot {

// Invariants. Everything cached is stamped with the epoch read before it
// was derived; any event of a watched dict (the module's namespace,
// logging's namespace, the level methods' __kwdefaults__) or watched type
// (logger, handler, record and logger-object classes) moves the epoch on,
// so a stamp that differs from the epoch means "derive again". What no
// watcher sees (instance attributes of loggers and handlers, list contents)
// is checked on every call. Instance dicts of other objects are never made
// or converted here, and none is watched: on 3.13.0 watchers miss stores
// into inline attribute values. Without a free watcher id, on a
// free-threaded build, or when the watchers fail their self-test, nothing
// is cached and every call takes the exact path.

// Registers the watchers and runs the self-test; once, at module exec.
// Failing to get a watcher only turns caching off.
int start() noexcept;

// Drops everything cached (after fork, in the child).
void forget() noexcept;

// logging.<DEBUG|INFO|WARNING|ERROR|CRITICAL> (index 0 to 4), read now:
// from the cache while nothing it was derived from has changed.
Ref level_constant(int index) noexcept;

// Whether f's live __kwdefaults__ still give args=None and kwargs=None,
// so that a call without keywords needs no binder.
bool kwdefaults_are_none(Func* f, int index) noexcept;

// How self._log is reached. Direct: it is _LogBase._log itself; then
// `dict` is self's own __dict__ when self._logger may be read from it.
struct LogTarget {
  enum class How : std::uint8_t { Direct, Method, Error } how;
  Ref dict;
};
LogTarget log_target(PyObject* self) noexcept;

// The verdict for logger.log(level, text, *args, **kwargs) (args and kwargs
// NULL when none), from the cache where it holds, else exactly.
Verdict verdict(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace lm::hot
