#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs every test. Extra arguments go to pytest.
# LOG_MAIN_VENV (default .venv) chooses the virtual environment, as for setup.sh.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh
# shellcheck source=scripts/_sanitize_env.sh
source scripts/_sanitize_env.sh
log_main_sanitize_env
# pytest exits non-zero when a test fails, and with 5 when no test was collected.
exec "$(log_main_venv)/bin/python" -m pytest -q tests "$@"
