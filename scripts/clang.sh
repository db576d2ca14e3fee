#!/usr/bin/env bash
# Builds the module with clang and -Werror, run by .ci/run, so that the macOS
# toolchain (Apple clang, libc++) holds no surprises. Two builds, each in its
# own build tree (build/ of the normal build untouched):
#   build/clang-libstdcxx  clang++ with GCC's libstdc++, as on Linux;
#   build/clang-libcxx     clang++ with LLVM's libc++, as on macOS.
# Fails on any warning (also one that -Werror does not turn into an error),
# then imports each module and logs one line through it.
# Installs Debian's clang and libc++ when they are missing. Uses the venv's
# interpreter, CMake and Ninja (scripts/setup.sh sets them up; LOG_MAIN_VENV
# as there).
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CXX_CLANG=${LOG_MAIN_CLANGXX:-clang++}
if ! command -v "$CXX_CLANG" >/dev/null 2>&1 \
   || ! compgen -G '/usr/lib/llvm-*/include/c++/v1/vector' >/dev/null; then
  say "installing Debian's clang and libc++"
  command -v apt-get >/dev/null 2>&1 || die "$CXX_CLANG or libc++ missing and no apt-get to install them"
  installed=0
  for attempt in 1 2 3; do  # the archive may be briefly unreachable
    if apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
         clang libc++-dev libc++abi-dev >/dev/null; then
      installed=1
      break
    fi
    say "install attempt $attempt failed; retrying"
    sleep $((attempt * 10))
  done
  (( installed )) || die "could not install clang"
fi
say "$("$CXX_CLANG" --version | head -n1)"

# The interpreter, CMake and Ninja of the venv; the normal build is not touched.
LOG_MAIN_SANITIZE=0 bash scripts/setup.sh >/dev/null
VENV=$(log_main_venv)
VPY="$VENV/bin/python"

LOGS=$(mktemp -d "${TMPDIR:-/tmp}/log_main-clang.XXXXXX")
trap 'rm -rf "$LOGS"' EXIT

build() {  # name, extra flags for compiling and linking
  local name=$1 flags=${2:-} dir="build/$1" log="$LOGS/$1.log"
  say "$name: configure and build in $dir"
  if ! { "$VENV/bin/cmake" -S . -B "$dir" -G Ninja \
           -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
           -DCMAKE_CXX_COMPILER="$CXX_CLANG" -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
           -DPython_EXECUTABLE="$VPY" \
           -DLOG_MAIN_WERROR=ON -DLOG_MAIN_SANITIZE=OFF \
         && "$VENV/bin/cmake" --build "$dir"; } >"$log" 2>&1; then
    cat "$log" >&2
    die "$name: the build failed"
  fi
  if grep -n 'warning:' "$log" >&2; then
    die "$name: warnings above"
  fi
  # The module loads (every symbol resolves) and writes through logging.
  local so
  so=$(compgen -G "$dir/log_main.*.so" | head -n1) || die "$name: no module built in $dir"
  "$VPY" -I -c '
import os, sys, tempfile
sys.path.insert(0, sys.argv[1])
import log_main
assert log_main.__file__ == sys.argv[2], log_main.__file__
with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "clang.log")
    log = log_main.VarnelLog("clang.check", file=path, console=False)
    log.info("built", "with", "clang")
    log.close()
    with open(path, encoding="utf-8") as f:
        line = f.read()
assert line.endswith(" - clang.check - INFO - built with clang\n"), line
' "$ROOT/$dir" "$ROOT/$so" || die "$name: the module does not work"
  say "$name: no warnings"
}

build clang-libstdcxx
build clang-libcxx "-stdlib=libc++"
