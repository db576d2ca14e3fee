// The parameters VarnelLog.__new__ and the two constructors share, and where they are in each table.
#pragma once

#include "function/signature.hpp"

namespace lm {

inline constexpr Param kLevelParam{.name = "level",
                                   .check = Check::Int,
                                   .annotation = "int",
                                   .dflt = dflt_global_int("logging", "DEBUG")};
inline constexpr Param kFileParam{.name = "file",
                                  .check = Check::Str,
                                  .none_ok = true,
                                  .annotation = "Optional[str]",
                                  .dflt = kNone};
inline constexpr Param kHandlerTypeParam{
    .name = "handler_type", .check = Check::Str, .annotation = "str", .dflt = dflt_str("file")};
inline constexpr Param kConsoleParam{.name = "console", .annotation = "bool", .dflt = kTrue};
inline constexpr Param kRehandlerParam{.name = "rehandler", .annotation = "bool", .dflt = kFalse};
inline constexpr Param kExtraKeywords{.name = "kwargs", .kind = Kind::VarKeyword};

// Where those parameters are in the table of one of the three functions
// (indexes into Bound), found when compiling; rehandler is -1 where the
// table has none.
struct LoggerArgs {
  int name, level, file, handler_type, console, rehandler, kwargs;
};
template <std::size_t N>
consteval LoggerArgs logger_args(const Param (&params)[N]) {
  return {param_index(params, "name"),    param_index(params, "level"),
          param_index(params, "file"),    param_index(params, "handler_type"),
          param_index(params, "console"), param_index(params, "rehandler", false),
          param_index(params, "kwargs")};
}

}  // namespace lm
