"""The stacking rule: only the top object of a name writes; close() closes the top."""

from log_main import VarnelLog

first = VarnelLog("stack.svc")                  # position 1 of "stack.svc"
second = VarnelLog("stack.svc", rehandler=True)  # position 2: now the top

first.info("not shown: first is below the top")
second.info("shown: second is the top")

first.close()  # closes the top, which is second, and re-enables first
second.info("not shown: second is closed")
first.info("shown: first is the top again")
first.close()  # now closes first itself
