# Sourced by the scripts in this directory (not run on its own).
# An AddressSanitizer build of the extension can only be loaded by an interpreter
# that was not built with ASan if the ASan runtime is preloaded; LeakSanitizer is
# switched off by default because the interpreter itself does not free everything
# at exit.

# The virtual environment the scripts work on: $LOG_MAIN_VENV (default .venv),
# relative to the repository root unless absolute.
log_main_venv() {
  local v=${LOG_MAIN_VENV:-.venv}
  case "$v" in
    /*) printf '%s\n' "$v" ;;
    *) printf '%s\n' "$ROOT/$v" ;;
  esac
}

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
