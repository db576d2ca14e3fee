# The common start of the scripts in this directory, sourced by each (not run on its own).
# shellcheck shell=bash
# It sets the shell options, enters the repository root ($ROOT) and defines
# say/die, whose messages start with the script's name ("setup: ..."), the
# virtual environment's path and the sanitizers' environment.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

SCRIPT_NAME=$(basename "${BASH_SOURCE[1]}" .sh)
# Where say writes: standard output, or 2 in a script whose standard output is its result.
SAY_FD=1
say() { printf '%s: %s\n' "$SCRIPT_NAME" "$*" >&"$SAY_FD"; }
die() { printf '%s: error: %s\n' "$SCRIPT_NAME" "$*" >&2; exit 1; }

# The virtual environment the scripts work on: $LOG_MAIN_VENV (default .venv),
# relative to the repository root unless absolute.
log_main_venv() {
  local v=${LOG_MAIN_VENV:-.venv}
  case "$v" in
    /*) printf '%s\n' "$v" ;;
    *) printf '%s\n' "$ROOT/$v" ;;
  esac
}

# An AddressSanitizer build of the extension can only be loaded by an interpreter
# that was not built with ASan if the ASan runtime is preloaded; LeakSanitizer is
# switched off by default because the interpreter itself does not free everything
# at exit.
log_main_sanitize_env() {
  [[ "${LOG_MAIN_SANITIZE:-}" == 1 ]] || return 0
  local so asan
  so=$(compgen -G "$(log_main_venv)/lib/python3.13/site-packages/log_main.*.so" | head -n1) || true
  [[ -n "$so" ]] || return 0
  asan=$(ldd "$so" | awk '/libasan/ {print $3; exit}')
  [[ -n "$asan" ]] || return 0
  export LD_PRELOAD="$asan${LD_PRELOAD:+:$LD_PRELOAD}"
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
}

# The checking runs' sanitizer options: the first report halts the process with an
# exit status of its own (86 ASan, 87 UBSan), and the interpreter allocates with
# malloc, so that ASan sees every block. A run may add a log_path to each.
log_main_halting_sanitizers() {
  export PYTHONMALLOC=malloc
  export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
}

# Installs valgrind from the machine's apt sources when it is missing (the
# benchmark's instruction counts and the memcheck run need it); fails when it
# cannot.
log_main_valgrind() {
  command -v valgrind >/dev/null 2>&1 && return 0
  say "valgrind not found: installing it"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; } 2>/dev/null
}
