#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the benchmark (bench/run.py)
# and counts instructions and allocations per call with callgrind
# (bench/instructions.py; a full count saves bench/results/<interpreter>.json).
#   scripts/bench.sh            full run, several minutes
#   scripts/bench.sh --quick    a few seconds of timing and two rows counted:
#                               proves it works; never fails on a number
#   LOG_MAIN_VENV=.venv-313 scripts/bench.sh   the same on another venv's interpreter
#                               (.venv-313t: the free-threaded build, GIL off)
# Other arguments go to bench/run.py (pyperf's options, --rounds N, --rows 1,2,...).
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bash scripts/setup.sh
log_main_sanitize_env
PY="$(log_main_venv)/bin/python"
"$PY" bench/run.py "$@"
count=()
for arg in "$@"; do
  case $arg in
    --quick) count+=(--quick) ;;
    --rows=*) count+=("$arg") ;;
  esac
done
for ((i = 1; i <= $#; i++)); do
  [[ "${!i}" == --rows ]] && { j=$((i + 1)); count+=(--rows "${!j}"); }
done
log_main_valgrind || say "could not install valgrind: no instruction counts"
"$PY" bench/instructions.py "${count[@]}"
