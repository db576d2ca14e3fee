// _md5: the MD5 of a str's UTF-8 encoding, as 32 lowercase hex digits.
#include "module/methods.hpp"
#include "module/state.hpp"
#include "runtime/function.hpp"

namespace lm {
namespace {

Ref md5(Func*, Bound& a) noexcept {
  Ref hashlib = global(N.hashlib);
  if (!hashlib) return {};
  Ref factory = getattr(hashlib.get(), N.md5);
  if (!factory) return {};
  Ref digest = call(factory.get());
  if (!digest) return {};
  Ref encode = getattr(a[0], N.encode);
  if (!encode) return {};
  Ref data = call_kw(encode.get(), {}, {{N.encoding, N.s_utf8}});
  if (!data || !call_method(digest.get(), N.update, data.get())) return {};
  return call_method(digest.get(), N.hexdigest);
}

const Param params[] = {{.name = "text", .check = Check::Str, .annotation = "str"}};

}  // namespace

const Signature md5_sig = {
    .name = "_md5",
    .qualname = "_md5",
    .params = params,
    .returns = "str",
    .impl = md5,
};

}  // namespace lm
