// The one owner of what the hot paths cache, and of the watchers that say when it changes.
#pragma once

#include <cstdint>

#include "hot/exact.hpp"
#include "function/function.hpp"

namespace lm::hot {

// Invariants. Everything cached is stamped with the epoch read before it
// was derived; any event of a watched dict (the module's namespace,
// logging's namespace, the level methods' __kwdefaults__, a logger's level
// cache) or watched type (logger, handler, record and logger-object
// classes) moves the epoch on, so a stamp that differs from the epoch means
// "derive again". Where the interpreter's watchers see stores into inline
// attribute values (3.13.1 and later; the self-test at start decides), the
// __dict__ of the loggers, handlers and logger objects on a cached path is
// made and watched too, and each call checks only what no watcher sees: the
// objects' classes and dicts by identity, the handlers lists' items, the
// filters list's size. Elsewhere (3.13.0) instance dicts are never made or
// watched and what they hold is compared on every call. Without a free
// watcher id, on a free-threaded build, or when the watchers fail the
// self-test, nothing is cached and every call takes the exact path. Nothing
// cached owns the objects it describes: a pointer is followed only once the
// object is known to be alive on this call (an object whose dict was freed
// moved the epoch on).

// The watcher ids are taken once per process (an import that failed and
// is retried reuses them) and are never given back while the module lives:
// the module object is held for the life of the process, and the
// interpreter drops its watchers when it is finalised. A watch lives in the
// watched dict itself and goes with it; freeing a watched dict is an event.

// Makes the cache and its watchers (once per process) and runs the
// self-tests; at each module exec.
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

// The verdict for logger.log(level, text, *args, **kwargs) (args and kwargs
// NULL when none), from the cache where it holds, else exactly.
Verdict verdict(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace lm::hot
