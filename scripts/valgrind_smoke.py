"""Exercises every public operation of log_main once or a few times, for valgrind.

Run by scripts/sanitize.sh as
    PYTHONMALLOC=malloc valgrind ... python scripts/valgrind_smoke.py
It exits 0 when every step behaved as expected, 1 otherwise; what valgrind says
about memory is judged by scripts/valgrind_check.py.
"""

import io
import logging
import os
import shutil
import sys
import tempfile
import traceback
import uuid

REAL_STDERR = sys.stderr


def expect_error(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r}{args!r} did not raise {exc_type.__name__}")


class Odd:
    def __str__(self):
        return "odd"


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class RaisingClose(logging.StreamHandler):
    def close(self):
        super().close()
        raise RuntimeError("close refused")


def run(tmp):
    import log_main
    from log_main import VarnelLog

    def name():
        return f"vg_{uuid.uuid4().hex}"

    assert log_main._md5("abc") == "900150983cd24fb0d6963f7d28e17f72"
    expect_error(TypeError, log_main._md5, b"abc")
    expect_error(TypeError, log_main._md5, "a", "b")
    expect_error(UnicodeEncodeError, log_main._md5, "\ud800")

    objs = []
    # Configuring loggers of every kind, with and without console.
    for i, kind in enumerate(["file", "rotating", "timerotating"]):
        path = os.path.join(tmp, f"d{i}", "sub", f"{kind}.log")
        objs.append(VarnelLog(name(), 20, path, kind, console=bool(i % 2), maxBytes=4096,
                              backupCount=2))
    objs.append(VarnelLog(name()))  # console only
    objs.append(VarnelLog(name(), console=False))  # no file: console forced on

    # Capturing loggers: a child, and a take-over of a configured name.
    base = objs[0]
    child = VarnelLog(base.name, file=os.path.join(tmp, "child.log"))
    taken = VarnelLog(base.name, rehandler=True, file=os.path.join(tmp, "taken.log"))
    taken2 = VarnelLog(base.name, rehandler=True, console=False)
    assert isinstance(taken, log_main._GetLogger)

    # A logger made outside the module, with foreign handlers, then captured.
    foreign_name = name()
    foreign = logging.getLogger(foreign_name)
    foreign.addHandler(logging.NullHandler())
    foreign.addHandler(logging.StreamHandler(io.StringIO()))
    foreign.addHandler(RaisingClose(io.StringIO()))
    captured = VarnelLog(foreign_name, rehandler=True, console=True)

    everyone = objs + [child, taken, taken2, captured]
    for obj in everyone:
        for method in (obj.debug, obj.info, obj.warning, obj.error, obj.critical):
            method()
            method("text", 1, 2.5, None, Odd(), ("t",), b"b", "\u00e9\U0001f600")
            method("with %s and %d", args=("fmt", 3))
            method("extra", kwargs={"extra": {"k": "v"}, "stacklevel": 2})
            method(BadStr(), "swallowed")
            method("bad kwargs", kwargs={"level": 5})
            expect_error(TypeError, method, args=["not", "a", "tuple"])
            expect_error(TypeError, method, kwargs=[("not", "dict")])
            expect_error(TypeError, method, nope=1)
        obj._log(25, ("direct", 1), ("x",), {})
        expect_error(TypeError, obj._log, True, ("a",))
        expect_error(TypeError, obj._log, 20, ["a"])
        obj.set_console_level(30)
        obj.set_file_level(40)
        obj.info("below both levels")
        obj.error("above both levels")
        expect_error(TypeError, obj.set_console_level, "INFO")
        expect_error(TypeError, obj.set_file_level, True)
        obj.disable()
        obj.info("disabled", BadStr())
        obj.enable(logging.getLogger(obj.name))
        obj.enable(object())
        obj.info("no usable log method")
        obj.enable(logging.getLogger(obj.name))

    # The context filter on its own.
    flt = log_main._ContextFilter("stamp")
    record = logging.LogRecord("x", 20, __file__, 1, "m", None, None)
    assert flt.filter(record) is True and record.name == "stamp"
    expect_error(TypeError, log_main._ContextFilter, None)

    # Argument errors of the factory and the constructors.
    expect_error(TypeError, VarnelLog)
    expect_error(TypeError, VarnelLog, "n", True)
    expect_error(TypeError, VarnelLog, "n", 10, b"f")
    expect_error(TypeError, VarnelLog, "n", 10, None, None)
    expect_error(TypeError, VarnelLog, "n", 10, None, "file", True, False, 7)
    expect_error(TypeError, VarnelLog, "n", name="m")
    expect_error(TypeError, log_main._SetLogger, None)
    expect_error(TypeError, log_main._GetLogger, "n", level=1.5)
    expect_error(ValueError, log_main._SetLogger, base.name)
    bad = name()
    expect_error(ValueError, VarnelLog, bad, file=os.path.join(tmp, "bad.log"), handler_type="x")
    expect_error(ValueError, VarnelLog, name(), file=objs[0].file, handler_type="rotating")
    expect_error(OSError, VarnelLog, name(), file=os.path.join(tmp, "d0"))

    # Close everything, tops first, then the rest; closing twice is harmless.
    for obj in [captured, taken2, taken, child] + objs + [base]:
        obj.close()
    for h in list(logging.getLogger(bad).handlers):
        logging.getLogger(bad).removeHandler(h)
        h.close()
    for h in list(foreign.handlers):
        foreign.removeHandler(h)
    assert not log_main._LOCK.locked()
    assert base.name not in log_main._LOGGERS and not log_main._CAPTURES, (
        log_main._LOGGERS, log_main._CAPTURES)


def main():
    tmp = tempfile.mkdtemp(prefix="log_main-vg-")
    # The console handlers bind sys.stderr when they are made: keep their
    # lines out of valgrind's report.
    sys.stderr = open(os.devnull, "w")
    try:
        run(tmp)
    except BaseException:
        traceback.print_exc(file=REAL_STDERR)
        return 1
    finally:
        logging.shutdown()
        sys.stderr.close()
        sys.stderr = REAL_STDERR
        shutil.rmtree(tmp, ignore_errors=True)
    print("valgrind smoke: all steps passed", file=REAL_STDERR)
    return 0


if __name__ == "__main__":
    sys.exit(main())
