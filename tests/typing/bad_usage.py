"""Deliberate mistakes that the stub must let mypy catch.

Each line marked `# expect: <error code>` must be reported, with that code,
and nothing else may be (tests/test_typing.py). This file is never run.
"""

import logging

from log_main import VarnelLog

log = VarnelLog("bad.app", file="logs/bad.log")

log.set_console_level("WARNING")  # expect: arg-type
log.info("stdlib habit", extra={"user": "x"})  # expect: call-arg
log.fatal("no such method")  # expect: attr-defined

log.set_file_level(logging.ERROR)  # fine: not reported
