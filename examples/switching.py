"""disable() and enable(): switch one logger object's output off and on."""

import logging

from log_main import VarnelLog

log = VarnelLog("switching.app", file="logs/switching.log")
std = logging.getLogger("switching.app")  # the logging logger it writes through

log.disable()
log.info("not written: the object is disabled")
std.info("written: the handlers are still attached to the logging logger")

log.enable(std)
log.info("written: enabled again")
log.close()

with open("logs/switching.log", encoding="utf-8") as f:
    print(f.read(), end="")
