// The methods of the logger classes and VarnelLog.__new__, which the module defines its classes from.
#pragma once

#include "function/signature.hpp"

namespace lm {

// _LogBase
extern const Signature logbase_init_sig;
extern const Signature disable_sig;
extern const Signature enable_sig;
extern const Signature close_sig;
extern const Signature set_console_level_sig;
extern const Signature set_file_level_sig;
extern const Signature log_sig;
extern const Signature debug_sig;
extern const Signature info_sig;
extern const Signature warning_sig;
extern const Signature error_sig;
extern const Signature critical_sig;
extern const Signature exception_sig;
extern const Signature enter_sig;
extern const Signature exit_sig;
extern const Signature repr_sig;

// _SetLogger and _GetLogger
extern const Signature set_logger_init_sig;
extern const Signature setup_logger_sig;
extern const Signature get_logger_init_sig;
extern const Signature captures_logger_sig;

// VarnelLog
extern const Signature varnel_new_sig;

}  // namespace lm
