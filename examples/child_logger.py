"""A known name without rehandler: each call makes a new child logger."""

import logging

from log_main import VarnelLog

logging.getLogger("known")  # some code made the name known to logging

log = VarnelLog("known")    # a _GetLogger on the child "known.<uuid4>"
print(log.name.startswith("known."), len(log.name))  # True 42
log.info("this line shows the child name")
log.close()

# Every such call leaves one more logging logger behind for good.
before = len(logging.Logger.manager.loggerDict)
for _ in range(100):
    VarnelLog("known").close()
print("new logging loggers:", len(logging.Logger.manager.loggerDict) - before)  # 100

# Cheaper: keep one object for the name, or take the name over once.
owner = VarnelLog("known", rehandler=True)
owner.info("this line shows the name itself")
owner.close()
