#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs examples/basic.py.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh
# shellcheck source=scripts/_sanitize_env.sh
source scripts/_sanitize_env.sh
log_main_sanitize_env
exec "$(log_main_venv)/bin/python" examples/basic.py "$@"
