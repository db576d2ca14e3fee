// The parameters VarnelLog.__new__ and the two constructors have in common.
#pragma once

#include "runtime/signature.hpp"

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

}  // namespace lm
