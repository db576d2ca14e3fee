// The handler methods of the logger classes: _ContextFilter's, and _LogBase's two builders.
#pragma once

#include "function/signature.hpp"

namespace lm {

extern const Signature filter_init_sig;
extern const Signature filter_filter_sig;
extern const Signature create_console_handler_sig;
extern const Signature create_file_handler_sig;

}  // namespace lm
