"""A with block takes a library's logger over for one block; exception() adds the traceback."""

import logging

from log_main import VarnelLog

lib = logging.getLogger("thirdparty.db")  # a library's logger, at WARNING
lib.setLevel(logging.WARNING)

with VarnelLog("thirdparty.db", rehandler=True, file="logs/db.log") as log:
    print(repr(log))
    # <_GetLogger 'thirdparty.db' file='/.../logs/db.log' (file) console_level=DEBUG file_level=DEBUG>
    lib.info("the library's INFO records reach our console and file")
    try:
        int("not a number")
    except ValueError:
        log.exception("parse failed")  # at ERROR, with the traceback

# The block's end called log.close(): the library has its own level and handlers back.
print(repr(log))  # the same, ending in " closed>"
print("level:", lib.level)  # level: 30
