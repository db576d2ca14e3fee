// The free-threaded build's memos of watched dicts: the level methods' __kwdefaults__, logging's level constants.
#pragma once

#include <atomic>
#include <cstdint>

#include "capi/levels.hpp"
#include "function/function.hpp"

namespace lm::hot {

#ifdef Py_GIL_DISABLED

// Takes the dict watcher of the memos; without one nothing is remembered.
void start_kwdefaults_memo() noexcept;

// Whether f (the level method of kwdefaults slot `slot`) is remembered to have
// __kwdefaults__ giving args=None and kwargs=None, still so.
bool kwdefaults_none_remembered(Func* f, int slot) noexcept;

// The same, read now (under the dict's lock); remembered when true.
bool kwdefaults_none_derived(Func* f, int slot) noexcept;

// logging.<DEBUG|...|CRITICAL> (index 0 to 4) as the module's `logging`
// gives it now, when remembered (an immortal int, so returned without a
// reference), else null.
PyObject* level_constant_remembered(int index) noexcept;

// Remembers the level constants, when `logging` is a module of this
// module's namespace and each constant an immortal int of its namespace.
void remember_level_constants() noexcept;

// The values of the level constants remembered under epoch `stamp` with
// `module` as this module's `logging`; false when they are not.
bool level_values_at(std::uint64_t stamp, PyObject* module, long (&levels)[kLevelCount]) noexcept;

// What the memos of watched dicts share (quick_memo.cpp too): the epoch,
// moved on at each event of a dict watched by memo_watch(), read with
// acquire; moved by hand after a fork.
std::uint64_t memo_epoch() noexcept;
void move_memo_epoch() noexcept;

// Watches `dict` for the memos; the caller holds the dict's lock, and reads
// under it what it remembers. False (no exception set) when it cannot.
bool memo_watch(PyObject* dict) noexcept;

// Starts writing an entry guarded by `seq` (odd while it is written):
// false when another writer is at it, which leaves it to that one. The
// writer ends with end_write(seq, was).
bool begin_write(std::atomic<unsigned int>& seq, unsigned int& was) noexcept;
inline void end_write(std::atomic<unsigned int>& seq, unsigned int was) noexcept {
  seq.store(was + 2, std::memory_order_release);
}

#endif  // Py_GIL_DISABLED

}  // namespace lm::hot
