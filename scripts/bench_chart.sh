#!/usr/bin/env bash
# Counts instructions and allocations per call of the benchmark's pairs
# (bench/instructions.py, full count) on CPython 3.13.0 in .venv, on the newer
# 3.13 in .venv-313 and on its free-threaded build in .venv-313t, each saved
# as bench/results/<interpreter>.json, then draws docs/bench.png from them
# with bench/chart.py. About 20 minutes on two cores.
#   scripts/bench_chart.sh           count on all three, then draw
#   scripts/bench_chart.sh --draw    only draw, from the saved results
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
if [[ "${1:-}" != --draw ]]; then
  log_main_valgrind || die "valgrind is needed to count"
  bash scripts/build_python.sh
  pythons=$(bash scripts/build_python.sh --print-prefix)
  for spec in ".venv:" ".venv-313:$pythons/3.13/bin/python3.13" \
    ".venv-313t:$pythons/3.13t/bin/python3.13t"; do
    venv=${spec%%:*} python=${spec#*:}
    LOG_MAIN_VENV=$venv PYTHON=$python bash scripts/setup.sh
    "$(LOG_MAIN_VENV=$venv log_main_venv)/bin/python" bench/instructions.py
  done
fi
bash scripts/setup.sh >/dev/null
"$(log_main_venv)/bin/python" bench/chart.py
