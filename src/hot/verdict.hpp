// Whether a log call could be seen by anybody: what the level methods ask the hot path.
#pragma once

#include <cstdint>

#include "capi/ref.hpp"
#include "function/function.hpp"

namespace lm::hot {

// The answer to "may logger.log(level, text, *args, **kwargs) be left out?".
// Error means an exception is set and must propagate.
enum class Verdict : std::uint8_t { Call, Skip, Error };

// The verdict for logger.log(level, text, *args, **kwargs) (args and kwargs
// NULL when none), from the cache where it holds, else exactly (exact.hpp).
Verdict verdict(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept;

// Makes the cache and its watchers (once per process) and runs the
// self-tests; at each module exec.
// Failing to get a watcher only turns caching off.
int start() noexcept;

// Drops everything cached (after fork, in the child).
void forget() noexcept;

// logging.<DEBUG|INFO|WARNING|ERROR|CRITICAL> (index 0 to 4), read now:
// from the cache while nothing it was derived from has changed.
Ref level_constant(int index) noexcept;

// The level methods whose __kwdefaults__ are kept, by slot: the five level
// methods at their level index (0 to 4), exception() after them.
inline constexpr int kExceptionSlot = 5;
inline constexpr int kKwDefaultsSlots = 6;

// Whether f's live __kwdefaults__ still give args=None and kwargs=None,
// so that a call without keywords needs no binder; `slot` is f's own.
bool kwdefaults_are_none(Func* f, int slot) noexcept;

// How self._log is reached. Direct: it is _LogBase._log itself; then
// `dict` is self's own __dict__ when self._logger may be read from it.
struct LogTarget {
  enum class How : std::uint8_t { Direct, Method, Error } how;
  Ref dict;
};
LogTarget log_target(PyObject* self) noexcept;

// Whether instance dicts are watched (set once, by start()): read inline,
// so that where they are not the calls below cost nothing.
extern bool dicts_watched;

// Where instance dicts are watched (interpreters whose watchers see
// stores into inline attribute values): remembers what self._logger was
// just read as (`dict` is self's own __dict__, where it was found).
void remember_self(PyObject* self, PyObject* dict, PyObject* logger) noexcept;

// What a call of a level method of `self` (level index 0 to 4, no
// keywords, default keyword defaults) is known to do without reading
// anything: nothing because self is disabled, nothing because nobody could
// see the record (once its parts' str() is known to run nothing), or
// Unknown: take the ordinary path.
enum class Quick : std::uint8_t { Disabled, Skip, Unknown };
Quick quick(PyObject* self, int level_index) noexcept;

}  // namespace lm::hot
