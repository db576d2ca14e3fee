// The signature table of every function the module defines, and the parameters the constructors share.
#pragma once

#include "runtime/signature.hpp"

namespace lm {

// src/module
extern const Signature md5_sig;
extern const Signature varnel_new_sig;

// src/core
extern const Signature logbase_init_sig;
extern const Signature disable_sig;
extern const Signature enable_sig;
extern const Signature set_console_level_sig;
extern const Signature set_file_level_sig;
extern const Signature log_sig;
extern const Signature debug_sig;
extern const Signature info_sig;
extern const Signature warning_sig;
extern const Signature error_sig;
extern const Signature critical_sig;

// src/handlers
extern const Signature filter_init_sig;
extern const Signature filter_filter_sig;
extern const Signature create_console_handler_sig;
extern const Signature create_file_handler_sig;
extern const Signature namer_sig;
extern const Signature close_sig;

// src/variants
extern const Signature set_logger_init_sig;
extern const Signature setup_logger_sig;
extern const Signature get_logger_init_sig;
extern const Signature captures_logger_sig;

// The parameters VarnelLog.__new__ and the two constructors share.
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
