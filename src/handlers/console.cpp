// _create_console_handler: the colour console handler of a logger object.
#include "handlers/configure.hpp"
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

// colorlog.ColoredFormatter(fmt=_cformatter, log_colors=_colors): exactly
// these two keywords, everything else keeps colorlog's defaults.
Ref make_colored_formatter() noexcept {
  Ref colorlog = global(N.colorlog);
  if (!colorlog) return {};
  Ref formatter_class = getattr(colorlog.get(), N.ColoredFormatter);
  if (!formatter_class) return {};
  Ref fmt = global(N._cformatter);
  if (!fmt) return {};
  Ref colors = global(N._colors);
  if (!colors) return {};
  return call_kw(formatter_class.get(), {}, {{N.fmt, fmt.get()}, {N.log_colors, colors.get()}});
}

Ref create_console_handler(Func*, Bound& a) noexcept {
  PyObject* self = a[0];
  int wanted = attr_truth(self, N.console);
  if (wanted <= 0) return wanted < 0 ? Ref{} : none();

  Ref colorlog = global(N.colorlog);
  if (!colorlog) return {};
  Ref stream_handler = getattr(colorlog.get(), N.StreamHandler);
  if (!stream_handler) return {};
  Ref handler = call(stream_handler.get());
  if (!handler || setattr(self, N._console_handler, handler.get()) < 0) return {};
  if (configure_and_attach(self, N._console_handler, N.console_level,
                           make_colored_formatter) < 0)
    return {};
  return none();
}

const Param params[] = {{"self"}};

}  // namespace

const Signature create_console_handler_sig = {
    .name = "_create_console_handler",
    .qualname = "_LogBase._create_console_handler",
    .params = params,
    .returns = "None",
    .impl = create_console_handler,
};

}  // namespace lm
