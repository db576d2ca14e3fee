import io, logging, sys, _testcapi
import log_main
from log_main import VarnelLog
start = int(sys.argv[1])
name = "lib.take"
logging.getLogger(name).handlers[:] = [logging.StreamHandler(io.StringIO())]
_testcapi.set_nomemory(start, start + 1)
try:
    VarnelLog(name, file="/tmp/one.log", rehandler=True)
except MemoryError as e:
    _testcapi.remove_mem_hooks()
    print("raised", repr(e))
finally:
    _testcapi.remove_mem_hooks()
print("ok", sys.getrefcount(MemoryError))
