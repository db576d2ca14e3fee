#!/usr/bin/env bash
# Sets up .venv with CPython 3.13 and the dev tools, then builds and installs
# log_main into it. Idempotent; quick when nothing changed.
#   LOG_MAIN_VENV=DIR            the virtual environment to use (default .venv,
#                                relative to the repository root)
#   PYTHON=/path/to/python3.13   use this interpreter to create the venv (a
#                                free-threaded python3.13t too, when named here;
#                                the search below never picks one)
#   CI=<non-empty>               build with -Werror
#   LOG_MAIN_SANITIZE=1          ASan+UBSan build (separate build dir build/asan)
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

LOG_MAIN_VENV=${LOG_MAIN_VENV:-.venv}
VENV=$(log_main_venv)
VPY="$VENV/bin/python"
DEPS_STAMP="$VENV/.log_main-deps.sha256"
BUILD_STAMP="$VENV/.log_main-build.sha256"

is_py313() {
  [[ -n "$1" ]] && "$1" -c 'import sys; assert sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 13)' >/dev/null 2>&1
}

# Whether the interpreter is a free-threaded (--disable-gil) build.
is_free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' >/dev/null 2>&1
}

find_python() {
  local cand
  if cand=$(command -v python3.13 2>/dev/null) && is_py313 "$cand" && ! is_free_threaded "$cand"; then
    printf '%s\n' "$cand"; return
  fi
  local root=""
  if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
  [[ -n "$root" ]] || root=${PYENV_ROOT:-$HOME/.pyenv}
  if [[ -d "$root/versions" ]]; then
    # Newest 3.13.x first; free-threaded (…t) builds have a different ABI: skip them.
    while IFS= read -r cand; do
      if is_py313 "$cand" && ! is_free_threaded "$cand"; then printf '%s\n' "$cand"; return; fi
    done < <(compgen -G "$root/versions/3.13*/bin/python3.13" | grep -Ev '/versions/[^/]*t/bin/' | sort -rV)
  fi
  return 1
}

# 1. Interpreter and virtual environment.
if is_py313 "$VPY"; then
  say "python: $LOG_MAIN_VENV ($("$VPY" -c 'import sys; print(sys.version.split()[0])'))"
else
  if [[ -n "${PYTHON:-}" ]]; then
    is_py313 "$PYTHON" || die "PYTHON=$PYTHON is not a working CPython 3.13"
    BASE=$PYTHON
  else
    BASE=$(find_python) || die "CPython 3.13 not found (tried \$PYTHON, python3.13 on PATH, pyenv versions 3.13*).
  Install CPython 3.13 with its development headers, e.g.
    Debian/Ubuntu: apt-get install python3.13 python3.13-venv python3.13-dev
    pyenv:         pyenv install 3.13
  or point PYTHON at an existing python3.13."
  fi
  say "python: $BASE"
  rm -rf "$VENV"
  "$BASE" -m venv "$VENV" || die "could not create $LOG_MAIN_VENV with $BASE (on Debian install python3.13-venv)"
  say "venv: created $LOG_MAIN_VENV; upgrading pip"
  "$VPY" -m pip install --quiet --upgrade pip
fi

INC=$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[[ -f "$INC/Python.h" ]] || die "Python.h not found in $INC: install the CPython 3.13 development headers (Debian: python3.13-dev)"
say "headers: $INC"

# 2. Development dependencies (skipped when the requirement files are
# unchanged). A free-threaded interpreter gets the releases of the tools
# that still install there (constraints-freethreaded.txt).
reqs=(-r requirements-dev.txt)
free_threaded=0
if is_free_threaded "$VPY"; then
  free_threaded=1
  reqs+=(-c constraints-freethreaded.txt)
fi
deps_sum=$(sha256sum requirements-dev.txt constraints-freethreaded.txt | sha256sum | cut -d' ' -f1)
deps_sum="$deps_sum-$free_threaded"
if [[ -f "$DEPS_STAMP" && "$(cat "$DEPS_STAMP")" == "$deps_sum" ]]; then
  say "deps: up to date"
else
  say "deps: installing ${reqs[*]}"
  "$VPY" -m pip install --quiet --upgrade "${reqs[@]}"
  printf '%s\n' "$deps_sum" >"$DEPS_STAMP"
fi

# 3. Build and install log_main from the current sources.
# Both options are always passed explicitly: CMake caches option values in the
# persistent build dir, so one CI (-Werror) run would otherwise stick.
werror=OFF; [[ -n "${CI:-}" ]] && werror=ON
flags=(-Ccmake.define.LOG_MAIN_WERROR="$werror")
if [[ "${LOG_MAIN_SANITIZE:-}" == 1 ]]; then
  # Keep the debug info that -g adds (scikit-build-core strips Release installs).
  flags+=(-Ccmake.define.LOG_MAIN_SANITIZE=ON -Cbuild-dir=build/asan -Cinstall.strip=false)
else
  flags+=(-Ccmake.define.LOG_MAIN_SANITIZE=OFF)
  # Each venv other than .venv builds in a tree of its own: two 3.13 patch
  # releases share a wheel tag, and so pyproject's default build directory.
  venv_name=$(basename "$VENV")
  [[ "$venv_name" == .venv ]] || flags+=(-Cbuild-dir="build/${venv_name#.}")
fi

build_sum=$(
  {
    if [[ -d src ]]; then
      find src -type f -not -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z | xargs -0r sha256sum
    fi
    sha256sum CMakeLists.txt pyproject.toml
    printf '%s\n' "${flags[@]}"
  } | sha256sum | cut -d' ' -f1
)

# -I: the installed module, not anything in the current directory.
import_ok() { (log_main_sanitize_env; "$VPY" -I -c 'import log_main') >/dev/null 2>&1; }

if [[ -f "$BUILD_STAMP" && "$(cat "$BUILD_STAMP")" == "$build_sum" ]] && import_ok; then
  say "build: up to date"
else
  rm -f "$BUILD_STAMP"
  say "build: pip install . (${flags[*]})"
  PATH="$VENV/bin:$PATH" "$VPY" -m pip install --quiet --no-build-isolation --no-deps "${flags[@]}" .
  (log_main_sanitize_env; "$VPY" -I -c 'import log_main') || die "log_main was built but does not import"
  printf '%s\n' "$build_sum" >"$BUILD_STAMP"
fi
say "ready"
