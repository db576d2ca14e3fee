"""Per-output levels: the console and the file filter independently."""

import logging

from log_main import VarnelLog

log = VarnelLog("levels.app", file="logs/levels.log", level=logging.INFO)
std = logging.getLogger("levels.app")  # the logging logger it writes through
print("logger level:", std.level)       # logger level: 20
log.debug("below INFO: nowhere")

log.set_console_level(logging.WARNING)  # the console shows WARNING and above
log.info("INFO: in the file only")
log.warning("WARNING: on the console and in the file")

log.set_file_level(logging.ERROR)       # the file keeps ERROR and above
log.warning("WARNING: on the console only")
log.error("ERROR: on both")

# The logging logger follows the lowest output level, so code that asks it
# (isEnabledFor, as libraries do) skips what no output would write.
print("logger level:", std.level)                          # logger level: 30
print("info enabled:", std.isEnabledFor(logging.INFO))     # info enabled: False
log.close()

with open("logs/levels.log", encoding="utf-8") as f:
    print(f.read(), end="")
