// The three kinds of log file: their names, handler classes, options with defaults, and record keys.
#pragma once

#include <cstddef>
#include <iterator>
#include <span>

#include "capi/const_text.hpp"
#include "process/state.hpp"

namespace lm {

// An option of the file builder: self.kwargs.get(key, default).
struct Option {
  PyObject* Names::*key;
  PyObject* Names::*text = nullptr;  // a str default, or
  long number = 0;                   // an int default
};

struct HandlerKind {
  PyObject* Names::*kind;           // its name, a value of handler_type
  PyObject* Names::*cls;            // the class's name ...
  bool in_logging;                  // ... in logging, or a module global
  std::span<const Option> options;  // after filename and encoding
  // The keys of a capture record's "kwargs" for an instance of the class:
  // "filename" reads baseFilename, every other key the attribute itself.
  std::span<PyObject* Names::* const> record_keys;
};

namespace kinds {
inline constexpr Option file_options[] = {{&Names::mode, &Names::s_a}};
inline constexpr Option rotating_options[] = {
    {&Names::mode, &Names::s_a}, {&Names::maxBytes, nullptr, 104857600},
    {&Names::backupCount, nullptr, 100}};
inline constexpr Option timed_options[] = {{&Names::when, &Names::s_midnight},
                                           {&Names::interval, nullptr, 1},
                                           {&Names::backupCount, nullptr, 365}};
inline constexpr PyObject* Names::*file_keys[] = {&Names::filename, &Names::mode,
                                                  &Names::encoding, &Names::delay,
                                                  &Names::errors};
inline constexpr PyObject* Names::*rotating_keys[] = {
    &Names::filename, &Names::mode,   &Names::encoding,    &Names::delay,
    &Names::errors,   &Names::maxBytes, &Names::backupCount};
inline constexpr PyObject* Names::*timed_keys[] = {
    &Names::filename, &Names::mode,     &Names::encoding,    &Names::delay, &Names::errors,
    &Names::when,     &Names::interval, &Names::backupCount, &Names::utc,   &Names::atTime};
}  // namespace kinds

// In the order a captured handler's class is tested (subclasses first);
// the file builder tests the kind names in the reverse order.
inline constexpr HandlerKind kHandlerKinds[] = {
    {&Names::s_timerotating, &Names::TimedRotatingFileHandler, false, kinds::timed_options,
     kinds::timed_keys},
    {&Names::s_rotating, &Names::RotatingFileHandler, false, kinds::rotating_options,
     kinds::rotating_keys},
    {&Names::file, &Names::FileHandler, true, kinds::file_options, kinds::file_keys},
};
inline constexpr const HandlerKind& kTimedKind = kHandlerKinds[0];

// The kind names in the order the file builder tests them, each between
// `quote`s, separated by ", " and by `last` before the last one.
constexpr ConstText& put_kind_names(ConstText& t, const char* quote, const char* last) {
  for (std::size_t i = std::size(kHandlerKinds); i-- > 0;) {
    t << quote << name_text(kHandlerKinds[i].kind) << quote;
    if (i > 1) t << ", ";
    if (i == 1) t << last;
  }
  return t;
}

// The kind's handler class, looked up now.
inline Ref kind_class(const HandlerKind& k) noexcept {
  return k.in_logging ? logging_attr(N.*k.cls) : global(N.*k.cls);
}

}  // namespace lm
