#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs every test. Extra arguments go to pytest.
# LOG_MAIN_VENV (default .venv) chooses the virtual environment, as for setup.sh.
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bash scripts/setup.sh
log_main_sanitize_env
# pytest exits non-zero when a test fails, and with 5 when no test was collected.
exec "$(log_main_venv)/bin/python" -m pytest -q tests "$@"
