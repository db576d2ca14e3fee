#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the benchmark (bench/run.py).
#   scripts/bench.sh            full run, a few minutes
#   scripts/bench.sh --quick    a few seconds: proves it works; never fails on a timing
# Other arguments go to bench/run.py (pyperf's options, --rounds N, --rows 1,2,...).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh
# shellcheck source=scripts/_sanitize_env.sh
source scripts/_sanitize_env.sh
log_main_sanitize_env
exec "$(log_main_venv)/bin/python" bench/run.py "$@"
