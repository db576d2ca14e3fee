"""Turning colours off: colorlog honours NO_COLOR (and FORCE_COLOR)."""

import os

from log_main import VarnelLog

log = VarnelLog("colours.app")
log.info("coloured")             # wrapped in ANSI escapes, even into a pipe or file

os.environ["NO_COLOR"] = "1"     # read by colorlog for every record it formats
log.info("plain")                # no escape codes

os.environ["FORCE_COLOR"] = "1"  # takes precedence over NO_COLOR
log.info("coloured again")
log.close()
