"""The three file kinds, their options and defaults, and rotated-file names."""

import os
from logging.handlers import RotatingFileHandler, TimedRotatingFileHandler

from log_main import VarnelLog

# "file" (the default kind): logging.FileHandler, encoding="utf-8", mode="a".
plain = VarnelLog("kinds.plain", file="logs/plain.log")
fh = plain._file_handler
assert fh is not None
print("file:", fh.encoding, fh.mode)  # file: utf-8 a

# "rotating": RotatingFileHandler, also maxBytes=104857600 and backupCount=100.
rotating = VarnelLog("kinds.rotating", file="logs/rotating.log",
                     handler_type="rotating", backupCount=5)
rh = rotating._file_handler
assert isinstance(rh, RotatingFileHandler)
print("rotating:", rh.maxBytes, rh.backupCount)  # rotating: 104857600 5

# "timerotating": TimedRotatingFileHandler, encoding="utf-8", when="midnight",
# interval=1, backupCount=365. Keywords a kind does not take are ignored.
timed = VarnelLog("kinds.timed", file="logs/run.log", handler_type="timerotating",
                  mode="w", maxBytes=1)
th = timed._file_handler
assert isinstance(th, TimedRotatingFileHandler)
print("timerotating:", th.when, th.backupCount)  # timerotating: MIDNIGHT 365

timed.info("before the rollover")
th.doRollover()  # what midnight does: run.log moves to run.<date>.log
timed.info("after the rollover")
print(sorted(os.listdir("logs")))
# ['plain.log', 'rotating.log', 'run.2024-05-01.log', 'run.log']
print(th.rotation_filename("/srv/my.logs/run.log.2024-05-01"))
# /srv/my.logs/run.2024-05-01.log: only the base name is edited

for log in (plain, rotating, timed):
    log.close()
