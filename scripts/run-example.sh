#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs examples/basic.py.
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bash scripts/setup.sh
log_main_sanitize_env
exec "$(log_main_venv)/bin/python" examples/basic.py "$@"
