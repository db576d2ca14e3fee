"""Library loggers taken over with rehandler=True come back as they were, whatever their shape."""

import io
import logging
import logging.config
import os
import re
import subprocess
import sys
import textwrap
import uuid
from logging.handlers import TimedRotatingFileHandler

import pytest

import log_main
from log_main import VarnelLog

ANSI = re.compile(r"\x1b\[")


def unique():
    return f"lib_{uuid.uuid4().hex}"


def stream_handler(buf, fmt="%(name)s|%(levelname)s|%(message)s"):
    h = logging.StreamHandler(buf)
    h.setFormatter(logging.Formatter(fmt))
    return h


def test_logger_without_handlers_propagates_again():
    name = unique()
    parent_out = io.StringIO()
    parent = logging.getLogger(name)
    parent.addHandler(stream_handler(parent_out))
    parent.setLevel(logging.DEBUG)
    lib = logging.getLogger(f"{name}.lib")  # the HOWTO's library logger: no handlers
    VarnelLog(lib.name, rehandler=True, console=False).close()
    assert (lib.level, lib.propagate, lib.handlers) == (logging.NOTSET, True, [])
    lib.info("after")  # below WARNING: only propagation can show it
    assert parent_out.getvalue() == f"{lib.name}|INFO|after\n"
    assert lib.name not in log_main._LOGGERS and lib.name not in log_main._CAPTURES


def test_nested_take_overs_closed_top_first():
    name, out = unique(), io.StringIO()
    lib = logging.getLogger(name)
    lib.addHandler(stream_handler(out))
    lib.setLevel(logging.INFO)
    lib.propagate = False
    first = VarnelLog(name, rehandler=True, console=False, file=None)
    second = VarnelLog(name, rehandler=True)
    assert log_main._LOGGERS[name] == {1: first, 2: second}
    assert list(log_main._CAPTURES[name]) == [0, 1] and first._logger is None
    second._console_handler.setStream(io.StringIO())
    second.info("to the top only")
    second.close()
    assert first._logger is lib and second._logger is None
    first.close()
    (back,) = lib.handlers
    assert (lib.level, lib.propagate) == (logging.INFO, False)
    lib.info("library again")
    assert out.getvalue() == f"{name}|INFO|library again\n"
    assert back.formatter is not None and name not in log_main._CAPTURES


class PrefixHandler(logging.Handler):
    """A library handler whose constructor needs arguments."""

    def __init__(self, prefix, stream):
        super().__init__()
        self.prefix, self.stream = prefix, stream

    def emit(self, record):
        self.stream.write(f"{self.prefix}{record.getMessage()}\n")


class PrefixStream(logging.StreamHandler):
    def __init__(self, prefix, stream):
        super().__init__(stream)
        self.prefix = prefix


class Plain(logging.StreamHandler):
    pass


def test_handlers_that_cannot_be_rebuilt_come_back_as_themselves():
    name = unique()
    lib = logging.getLogger(name)
    outs = [io.StringIO() for _ in range(3)]
    handlers = [PrefixStream(">", outs[0]), Plain(outs[1]), logging.StreamHandler(outs[2])]
    for i, h in enumerate(handlers):
        h.name = f"{name}-h{i}"
        lib.addHandler(h)
    obj = VarnelLog(name, rehandler=True)
    assert lib.handlers == [obj._console_handler]
    obj.close()
    obj.close()  # a second close leaves the library alone
    assert lib.handlers[:2] == handlers[:2]  # the subclasses, on their own streams
    rebuilt = lib.handlers[2]
    assert type(rebuilt) is logging.StreamHandler and rebuilt is not handlers[2]
    for i, h in enumerate(lib.handlers):
        assert logging.getHandlerByName(f"{name}-h{i}") is h
    lib.warning("back")
    assert [o.getvalue() for o in outs] == ["back\n"] * 3


def test_handler_that_detaching_does_not_touch_survives_a_rebuild_failure(monkeypatch):
    name, out = unique(), io.StringIO()
    lib = logging.getLogger(name)
    lib.addHandler(PrefixHandler("lib: ", out))  # not a stream handler: never detached
    lib.addHandler(stream_handler(io.StringIO()))
    obj = VarnelLog(name, rehandler=True)

    def refuse(*args, **kwargs):
        raise OSError("cannot rebuild")

    monkeypatch.setattr(logging.StreamHandler, "__init__", refuse)
    assert obj.close() is None  # the rebuild fails: the captured object comes back
    monkeypatch.undo()
    assert [type(h) for h in lib.handlers] == [PrefixHandler, logging.StreamHandler]
    lib.warning("x")
    assert out.getvalue() == "lib: x\n"


def test_root_is_taken_over_and_handed_back():
    script = textwrap.dedent("""
        import io, logging, sys
        out = io.StringIO()
        logging.basicConfig(stream=out, level=logging.INFO, format="%(levelname)s:%(message)s")
        root = logging.getLogger()
        from log_main import VarnelLog, _GetLogger, _LOGGERS
        for name in (None, "", "root"):
            obj = VarnelLog(name, rehandler=True)
            assert type(obj) is _GetLogger and root.handlers == [obj._console_handler]
            obj.close()
            assert "root" not in _LOGGERS
        logging.getLogger("some.lib").info("reaches basicConfig's handler")
        print(root.level, out.getvalue(), end="")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "20 INFO:reaches basicConfig's handler\n"


def test_logger_disabled_by_dictconfig_writes_while_taken_over(tmp_path):
    name = unique()
    lib = logging.getLogger(name)
    root = logging.getLogger()
    saved = root.level, list(root.handlers)
    logging.config.dictConfig({"version": 1})  # disable_existing_loggers defaults to True
    try:
        assert lib.disabled
        path = str(tmp_path / "taken.log")
        obj = VarnelLog(name, rehandler=True, console=False, file=path)
        obj.info("written")
        obj.close()
        assert open(path, encoding="utf-8").read().endswith(" - INFO - written\n")
        assert lib.disabled
    finally:
        root.setLevel(saved[0])
        root.handlers[:] = saved[1]


def test_fractional_timed_interval_survives_the_rebuild(tmp_path):
    name = unique()
    lib = logging.getLogger(name)
    timed = TimedRotatingFileHandler(str(tmp_path / "t.log"), when="H", interval=1.5)
    lib.addHandler(timed)
    VarnelLog(name, rehandler=True, console=True).close()
    (rebuilt,) = lib.handlers
    assert rebuilt is not timed and rebuilt.interval == timed.interval == 5400
    rebuilt.close()
    lib.removeHandler(rebuilt)


def test_tracebacks_in_the_file_carry_no_colour(tmp_path, monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")
    console = io.StringIO()
    path = str(tmp_path / "exc.log")
    obj = VarnelLog(unique(), file=path)
    obj._console_handler.setStream(console)
    try:
        raise ValueError("boom")
    except ValueError:
        obj.error("failed", kwargs={"exc_info": True})
    obj.close()
    text = open(path, encoding="utf-8").read()
    assert "ValueError: boom" in text and not ANSI.search(text)
    assert ANSI.search(console.getvalue().split("Traceback", 1)[1])


def test_failed_construction_of_a_new_name_leaves_it_without_handlers(tmp_path):
    name = unique()
    with pytest.raises(IsADirectoryError):
        VarnelLog(name, file=str(tmp_path))
    lg = logging.getLogger(name)
    assert (lg.handlers, lg.level, lg.propagate) == ([], logging.NOTSET, True)
    assert name not in log_main._LOGGERS and os.listdir(tmp_path) == []
