"""Take over a library's logger with rehandler=True and hand it back with close()."""

import logging
import sys

from log_main import VarnelLog

# A library that configured its own logger before we got to it.
lib = logging.getLogger("thirdparty")
lib_handler = logging.StreamHandler(sys.stdout)
lib_handler.setFormatter(logging.Formatter("library format: %(message)s"))
lib.addHandler(lib_handler)
lib.setLevel(logging.INFO)
lib.info("the library logs its own way")

# rehandler=True: our console and file handlers replace the library's.
log = VarnelLog("thirdparty", file="logs/thirdparty.log", rehandler=True)
lib.warning("the library's own calls now go to our console and file")
log.info("and so do ours, under the same name")

# close() removes our handlers and gives the library its own handler objects back.
log.close()
lib.info("the library logs its own way again")
print("same handler:", lib.handlers == [lib_handler])           # same handler: True
print("level:", lib.level, "propagate:", lib.propagate)       # level: 20 propagate: True
