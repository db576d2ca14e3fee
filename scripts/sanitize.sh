#!/usr/bin/env bash
# Memory-error checks, run by .ci/run after the normal tests:
#  1. builds the ASan+UBSan version of log_main into its own venv
#     ($LOG_MAIN_ASAN_VENV, default .venv-asan; never into .venv, which other
#     runs use) and runs the whole test suite against it with the ASan runtime
#     preloaded; any sanitizer report, in the test process or in a subprocess
#     it starts, fails the run;
#  2. runs scripts/valgrind_smoke.py under valgrind memcheck with the normal
#     build (in $LOG_MAIN_VENV, default .venv) and fails on any invalid
#     access or use of uninitialised memory, and on definite leaks from our
#     code (scripts/valgrind_check.py tells ours from the interpreter's).
# Extra arguments go to pytest.
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

NORMAL_VENV=${LOG_MAIN_VENV:-.venv}
ASAN_VENV=${LOG_MAIN_ASAN_VENV:-.venv-asan}
[[ "$ASAN_VENV" != "$NORMAL_VENV" ]] || die "the sanitizer venv must not be $NORMAL_VENV"

REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/log_main-sanitize.XXXXXX")
trap 'rm -rf "$REPORTS"' EXIT

# 1. ASan + UBSan.
say "building the ASan+UBSan module in $ASAN_VENV"
LOG_MAIN_VENV=$ASAN_VENV LOG_MAIN_SANITIZE=1 bash scripts/setup.sh
(
  export LOG_MAIN_VENV=$ASAN_VENV LOG_MAIN_SANITIZE=1
  # Reports go to files as well as halting the process, so that one raised in
  # a subprocess whose exit status a test does not look at still fails the run.
  log_main_halting_sanitizers
  export ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$REPORTS/asan"
  export UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$REPORTS/ubsan"
  # The thread stress and the leak loops run shorter under the sanitizers,
  # which slow every call down.
  export LOG_MAIN_STRESS_SECONDS=${LOG_MAIN_STRESS_SECONDS:-6}
  export LOG_MAIN_REFLEAK_SCALE=${LOG_MAIN_REFLEAK_SCALE:-0.5}
  log_main_sanitize_env
  [[ "${LD_PRELOAD:-}" == *libasan* ]] || die "the module in $ASAN_VENV is not an ASan build"
  say "pytest under ASan+UBSan (LD_PRELOAD=$LD_PRELOAD)"
  "$(log_main_venv)/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
) || status=$?
if compgen -G "$REPORTS/*" >/dev/null; then
  for f in "$REPORTS"/*; do
    printf '\n==== %s\n' "$(basename "$f")" >&2
    cat "$f" >&2
  done
  die "sanitizer reports above"
fi
[[ "${status:-0}" == 0 ]] || die "tests failed under ASan+UBSan (exit ${status})"
say "ASan+UBSan: clean"

# 2. valgrind memcheck of the normal build.
log_main_valgrind || die "could not install valgrind"
LOG_MAIN_VENV=$NORMAL_VENV bash scripts/setup.sh >/dev/null
VPY="$(LOG_MAIN_VENV=$NORMAL_VENV log_main_venv)/bin/python"
say "valgrind memcheck of scripts/valgrind_smoke.py ($NORMAL_VENV)"
vg_status=0
PYTHONMALLOC=malloc valgrind --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite --num-callers=40 \
  --xml=yes --xml-file="$REPORTS/valgrind.xml" \
  "$VPY" scripts/valgrind_smoke.py || vg_status=$?
# 99: valgrind counted errors, which include the interpreter's own leaks;
# valgrind_check.py decides which of them are ours.
[[ "$vg_status" == 0 || "$vg_status" == 99 ]] || die "the smoke script failed under valgrind (exit $vg_status)"
"$VPY" scripts/valgrind_check.py "$REPORTS/valgrind.xml" || die "valgrind found errors in log_main"
say "valgrind: clean"
