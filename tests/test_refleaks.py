"""Repeated public operations leak neither memory nor references.

Memory: a fresh interpreter (this file run as a script) repeats every operation,
after a warm-up, in four windows of 60 to 1000 calls (4.5 windows' worth in all),
and reports how much the memory traced by tracemalloc grew across each window;
an operation leaks when each of the last three windows grew by more than
LEAK_BOUND_PER_CALL bytes per call. One object leaked per call is at least 24
bytes; without a leak every window stays within about 100 bytes. Each
create/close loop reuses its names, or removes the logger that logging keeps
for a fresh child name, so that only what this module keeps is measured.

References: fresh argument objects have the same sys.getrefcount after many
calls as before.
"""

import contextlib
import gc
import io
import json
import logging
import os
import subprocess
import sys
import tempfile
import tracemalloc

import pytest
from conftest import unique_name

import log_main
from log_main import VarnelLog

LEAK_BOUND_PER_CALL = 8  # bytes, over a window of calls
WINDOWS = 4
# Calls per window: the scale is lowered under the sanitizers, which slow every call.
SCALE = float(os.environ.get("LOG_MAIN_REFLEAK_SCALE", "1"))
CHEAP, EMITTING, COSTLY, TRACEBACKS = (max(50, int(n * SCALE)) for n in (1000, 300, 250, 60))


class StrSub(str):
    def __str__(self):
        return "sub:" + str.__str__(self)


class Odd:
    def __str__(self):
        return "odd"


class Raises:
    def __str__(self):
        raise ValueError("no text")


class WrongType:
    def __str__(self):
        return 42


def attempt(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (TypeError, ValueError, OSError):
        pass


def operations(tmp):
    """name -> (calls per window, zero-argument callable)."""
    P = lambda n: os.path.join(tmp, n)  # noqa: E731
    root, manager = logging.getLogger(), logging.Logger.manager
    shared = unique_name("rl")
    base = VarnelLog(shared, file=P("shared.log"))
    emit = VarnelLog(unique_name("rl"), file=P("emit.log"))
    silent = VarnelLog(unique_name("rl"), file=P("silent.log"))
    silent.set_console_level(60)
    silent.set_file_level(60)
    off = VarnelLog(unique_name("rl"), file=P("off.log"))
    off.disable()
    closed = VarnelLog(unique_name("rl"))
    closed.close()
    counter = iter(range(10**9))

    def new_name():
        n = f"rl_new_{next(counter)}"
        VarnelLog(n, file=P("new.log")).close()
        del manager.loggerDict[n]  # logging's own Logger for the name

    def child():
        o = VarnelLog(shared, file=P("child.log"), console=False)
        o.info("child")
        o.close()
        del manager.loggerDict[o.name]

    def root_bad_kind():
        attempt(VarnelLog, None, file=P("bad.log"), handler_type="bogus")
        for h in root.handlers[:]:  # the console handler it attached first
            root.removeHandler(h)
            h.close()

    stubborn_name = unique_name("rl")
    VarnelLog(stubborn_name, console=False)
    stubborn_logger = logging.getLogger(stubborn_name)

    def failing_close():  # close raises once its work is done: nothing stays behind
        top = VarnelLog(stubborn_name, rehandler=True, console=False)
        h = logging.NullHandler()
        stubborn_logger.addHandler(h)
        remove = stubborn_logger.removeHandler

        def refuse(x):
            if x is h:
                raise OSError("refused")
            remove(x)

        stubborn_logger.removeHandler = refuse
        attempt(top.close)
        del stubborn_logger.removeHandler
        stubborn_logger.removeHandler(h)

    parts = ("text", 1, 2.5, None, Odd(), StrSub("s"), ("t", 1), b"b", "\ud800", 10**50)
    ops = {
        "factory: configuring root": (COSTLY, lambda: VarnelLog(None, file=P("root.log")).close()),
        "factory: configuring new name": (COSTLY, new_name),
        "factory: capturing child": (COSTLY, child),
        "capture/close round trip": (COSTLY, lambda: VarnelLog(
            shared, rehandler=True, file=P("top.log"), handler_type="rotating").close()),
        "capture/close, no outputs": (COSTLY, lambda: VarnelLog(
            shared, rehandler=True, console=False).close()),
        "close of a closed object": (CHEAP, closed.close),
        "error: unknown kind with a file": (COSTLY, root_bad_kind),
        "error: file is a directory": (COSTLY, lambda: attempt(
            VarnelLog, None, file=tmp, console=False)),
        "error: failed take-over retried": (COSTLY, lambda: attempt(
            VarnelLog, shared, rehandler=True, file=tmp)),
        "error: failing close": (COSTLY, failing_close),
        "error: kind conflict": (CHEAP, lambda: attempt(
            VarnelLog, "rl_never", file=P("shared.log"), handler_type="rotating")),
        "error: name exists": (CHEAP, lambda: attempt(log_main._SetLogger, shared)),
        "errors: factory arguments": (CHEAP, lambda: [attempt(VarnelLog, *a, **k) for a, k in [
            ((), {}), (("n", True), {}), ((StrSub("n"),), {}), (("n", 10, b"f"), {}),
            (("n",), {"handler_type": None}), (("n", 1, None, "file", 1, 0, 7), {}),
            (("n",), {"name": "m"}), ((), {"level": 10})]]),
        "errors: constructors": (CHEAP, lambda: [attempt(f, *a, **k) for f, a, k in [
            (log_main._SetLogger, (None,), {}), (log_main._GetLogger, ("n",), {"level": 1.5}),
            (log_main._GetLogger, ("n", 1, None, "f", 1, 0, 7), {}),
            (log_main._ContextFilter, (), {}), (log_main._ContextFilter, (StrSub("x"),), {})]]),
        "_md5 and its errors": (CHEAP, lambda: [log_main._md5("abc"), log_main._md5(text="é")] + [
            attempt(log_main._md5, *a, **k) for a, k in [
                ((b"x",), {}), (("\udc80",), {}), (("a", "b"), {}), ((), {"txt": "a"})]]),
        "context filter": (CHEAP, lambda: log_main._ContextFilter("f").filter(
            logging.LogRecord("r", 20, "p", 1, "m", None, None))),
        "setters and their errors": (CHEAP, lambda: [
            emit.set_console_level(30), emit.set_file_level(20), emit.set_console_level(10),
            attempt(emit.set_file_level, True), attempt(emit.set_console_level, "INFO"),
            attempt(emit.set_file_level)]),
        "disable/enable": (CHEAP, lambda: [off.enable(object()), off.info("x"), off.disable(),
                                           attempt(off.enable), attempt(off.disable, 1)]),
        "level method errors": (CHEAP, lambda: [
            attempt(emit.info, args=[1]), attempt(emit.warning, kwargs=[]),
            attempt(emit.error, nope=1), attempt(emit._log, True, ("a",)),
            attempt(emit._log, 20, ["a"]), attempt(emit._log, 20)]),
    }
    for label, obj in [("emitting", emit), ("silent", silent), ("disabled", off)]:
        n = EMITTING if obj is emit else CHEAP
        for m in ("debug", "info", "warning", "error", "critical"):
            ops[f"{m}: {label}"] = (n, lambda f=getattr(obj, m): f("step", 1, None))
        ops[f"odd parts: {label}"] = (n, lambda o=obj: [
            o.info(*parts[:-2]), o.info(Raises()), o.info("x", WrongType()), o.info(),
            o.info("%s and %d", args=("fmt", 3)), o.info("%s", args=({"k": 1},)),
            o.info("kw", kwargs={"extra": {"k": 1}, "stacklevel": 2}),
            o.info("bad kw", kwargs={"level": 5}), o._log(25, parts[:-2], None, {})])
        # Records that the handlers fail to write (logging prints a traceback).
        ops[f"unwritable records: {label}"] = (TRACEBACKS, lambda o=obj: [
            o.error(*parts), o.warning("%d", args=("bad",))])
    return ops


def settle():
    gc.collect()
    # The interpreter's method cache keeps the attribute names it has seen alive.
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()


class Discard(io.TextIOBase):
    """A stream that keeps nothing (a file's write buffer would show as growth)."""

    def write(self, text):
        return len(text)


def measure():
    """Runs in the subprocess: prints {operation: [growth per window]}."""
    sys.stderr = Discard()  # console handlers bind it when made
    tmp = tempfile.TemporaryDirectory(prefix="log_main-refleaks-")
    ops = operations(tmp.name)
    tracemalloc.start()
    out = {}
    for label, (n, op) in ops.items():
        for _ in range(n // 2):
            op()
        settle()
        marks = [tracemalloc.get_traced_memory()[0]]
        for _ in range(WINDOWS):
            for _ in range(n):
                op()
            settle()
            marks.append(tracemalloc.get_traced_memory()[0])
        out[label] = [n] + [b - a for a, b in zip(marks, marks[1:])]
    print(json.dumps(out))
    logging.shutdown()
    tmp.cleanup()


@pytest.fixture(scope="module")
def growth():
    proc = subprocess.run([sys.executable, __file__, "--measure"], capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout)


def test_memory_stops_growing(growth):
    assert len(growth) >= 38
    leaking = {label: deltas for label, (n, *deltas) in growth.items()
               if min(deltas[1:]) > n * LEAK_BOUND_PER_CALL}
    assert leaking == {}, "traced memory still grows (bytes per window): " + repr(leaking)


if __name__ == "__main__" and sys.argv[1:] == ["--measure"]:
    measure()


# ---------------------------------------------------------------- references

REPEAT = 200


# The objects are made inside each test, not in a fixture: for each test phase
# pytest attaches its own record-keeping handler to every non-propagating logger
# that exists when the phase starts, which would keep references to records.
@contextlib.contextmanager
def logger_object(tmp_path):
    o = VarnelLog(unique_name(), file=str(tmp_path / "rc.log"))
    o._console_handler.setStream(io.StringIO())
    try:
        yield o
    finally:
        o.close()


def counts(*objects):
    return [sys.getrefcount(x) for x in objects]


@pytest.mark.parametrize("state", ["emitting", "silent", "disabled"])
def test_level_methods_keep_no_reference_to_their_arguments(tmp_path, state):
    with logger_object(tmp_path) as obj:
        check_level_methods(obj, state)


def check_level_methods(obj, state):
    if state == "silent":
        obj.set_console_level(60)
        obj.set_file_level(60)
    elif state == "disabled":
        obj.disable()
    part, lst, sub = Odd(), [1, 2], StrSub("sub")
    args = tuple(["%s", object()])[1:]  # a fresh tuple
    extra = {"key": object()}
    kwargs = {"extra": extra}
    fresh = [part, lst, sub, args, args[0], kwargs, extra, extra["key"]]
    before = counts(*fresh)
    for _ in range(REPEAT):
        for method in (obj.debug, obj.info, obj.warning, obj.error, obj.critical):
            method("%s", part, lst, sub, args=args, kwargs=kwargs)
        obj._log(20, (part, lst, sub), args, kwargs)
        obj.info(Raises(), part)
        obj.info(part, kwargs={"level": part})  # refused by log(): swallowed
    assert counts(*fresh) == before


def test_argument_errors_keep_no_reference(tmp_path):
    with logger_object(tmp_path) as obj:
        check_argument_errors(obj)


def check_argument_errors(obj):
    sub, lst, big = StrSub("n"), [1], 10**30
    fresh = [sub, lst, big]
    before = counts(*fresh)
    for _ in range(REPEAT):
        for call in (lambda: VarnelLog(sub), lambda: VarnelLog("n", big, lst),
                     lambda: VarnelLog("n", level=sub), lambda: log_main._md5(sub),
                     lambda: log_main._ContextFilter(lst), lambda: obj.info(args=lst),
                     lambda: obj.info(kwargs=lst), lambda: obj._log(big, lst),
                     lambda: obj.set_file_level(sub), lambda: VarnelLog("n", name=sub),
                     lambda: obj.enable(sub, lst), lambda: log_main._md5(sub, text=lst)):
            with pytest.raises(TypeError):
                call()
    assert counts(*fresh) == before


def test_setters_and_switches_hold_only_what_they_store(tmp_path):
    with logger_object(tmp_path) as obj:
        check_setters(obj)


def check_setters(obj):
    level, value = int("1" + "0" * 20), object()  # made now: constants are immortal without the GIL
    logger = obj._logger
    before = counts(level, value, logger)
    for _ in range(REPEAT):
        obj.set_console_level(level)
        obj.set_file_level(level)
        obj.enable(value)
        obj.info("through a value without log()")
    # Stored once in each attribute, each handler's level and the logger's level.
    assert counts(level, value, logger) == [before[0] + 5, before[1] + 1, before[2] - 1]
    obj.set_console_level(10)
    obj.set_file_level(10)
    obj.enable(logger)
    assert counts(level, value, logger) == before


class Collecting(logging.Handler):
    """A foreign handler that is not a stream handler: recorded, never detached."""

    def emit(self, record):
        pass


def test_factory_and_close_round_trips_release_everything(tmp_path):
    name = unique_name()
    base = VarnelLog(name, file=str(tmp_path / "base.log"))
    logger = logging.getLogger(name)
    flt, fmt, foreign = logging.Filter(), logging.Formatter("%(message)s"), Collecting()
    foreign.addFilter(flt)
    foreign.setFormatter(fmt)
    option = object()
    options = {"unknown_option": option}
    outside = [flt, fmt, foreign, foreign.filters, option, options]
    before_all = counts(*outside)
    logger.addHandler(foreign)
    # The first round trip replaces base's handlers with rebuilt ones.
    VarnelLog(name, rehandler=True).close()
    # (base's own handlers are replaced by rebuilt copies on every take-over
    # with console true, so their counts are not compared.)
    registered = [base, log_main._LOGGERS[name], logger] + outside
    before = counts(*registered)
    for i in range(REPEAT // 4):
        top = VarnelLog(name, rehandler=True, console=bool(i % 2),
                        file=str(tmp_path / "top.log"), **options)
        assert top.kwargs == options and top.kwargs is not options
        top.info("on top")
        top.close()
        child = VarnelLog(name, file=str(tmp_path / "child.log"), **options)
        child.info("child")
        child.close()
        del logging.Logger.manager.loggerDict[child.name]
    del top, child
    assert counts(*registered) == before
    assert logger.handlers.count(foreign) == 1 and len(logger.handlers) == 3
    del registered
    base.close()
    assert name not in log_main._LOGGERS and name not in log_main._CAPTURES
    assert counts(*outside) == before_all
