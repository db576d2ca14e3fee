"""Taking over an existing logger, recording its handlers, and handing it back on close."""

import io
import logging
import os
import re
from logging.handlers import RotatingFileHandler, TimedRotatingFileHandler

import colorlog
import pytest
from conftest import LINE_RE, uncoloured

import log_main
from log_main import VarnelLog

RECORD_KEYS = ["id", "type", "level", "name", "filters", "formatter", "kwargs"]
FILE_KEYS = ["filename", "mode", "encoding", "delay", "errors"]
ROTATING_KEYS = FILE_KEYS + ["maxBytes", "backupCount"]
TIMED_KEYS = FILE_KEYS + ["when", "interval", "backupCount", "utc", "atTime"]


class FailingClose(logging.StreamHandler):
    """A stream handler whose close() raises until allow_close() is called."""

    def __init__(self, stream=None):
        super().__init__(stream if stream is not None else io.StringIO())
        self.fail, self.close_calls = True, 0

    def allow_close(self):
        self.fail = False

    def close(self):
        self.close_calls += 1
        if self.fail:
            raise RuntimeError("close refused")
        super().close()


def console_lines(buf):
    out = []
    for line in buf.getvalue().splitlines():
        m = LINE_RE.match(uncoloured(line))
        assert m, f"not a console record: {line!r}"
        out.append(m.groups())
    return out


def file_lines(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    assert all(LINE_RE.match(line) for line in lines), lines
    return [LINE_RE.match(line).groups() for line in lines]


def snapshot():
    return ({k: dict(v) for k, v in log_main._LOGGERS.items()},
            {k: dict(v) for k, v in log_main._CAPTURES.items()})


# --- what a capture records -------------------------------------------------


def test_records_are_built_in_table_order(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n, file=str(tmp_path / "a.log"))
    a._console_handler.set_name("console-a")
    VarnelLog(n, rehandler=True)
    assert list(log_main._CAPTURES[n]) == [1]
    rec = log_main._CAPTURES[n][1]
    assert list(rec) == ["handlers", "handler_ids"]
    assert rec["handler_ids"] == [id(a._console_handler), id(a._file_handler)]
    con, fil = rec["handlers"]
    assert list(con) == RECORD_KEYS and list(fil) == RECORD_KEYS
    assert con["id"] == id(a._console_handler) and con["type"] is colorlog.StreamHandler
    assert (con["level"], con["name"]) == (10, "console-a")
    assert con["formatter"] is a._console_handler.formatter
    assert con["kwargs"] == {}
    assert fil["type"] is logging.FileHandler and list(fil["kwargs"]) == FILE_KEYS
    fh = a._file_handler
    assert fil["kwargs"] == {"filename": fh.baseFilename, "mode": "a", "encoding": "utf-8",
                             "delay": False, "errors": None}
    # The filters entry is the handler's own list: later changes show in the record.
    assert con["filters"] is a._console_handler.filters
    extra = logging.Filter("x")
    a._console_handler.addFilter(extra)
    assert con["filters"][-1] is extra


def capture_foreign(n, handler, console=True):
    """A configuring object, then `handler` added by other code, then a capture."""
    a = VarnelLog(n, console=True)
    lg = logging.getLogger(n)
    lg.addHandler(handler)
    b = VarnelLog(n, console=console, rehandler=True)
    return a, b, lg, log_main._CAPTURES[n][1]["handlers"][1]


class MyStream(logging.StreamHandler):
    pass


@pytest.mark.parametrize("kind", ["timed", "rotating", "file", "stream", "stream-sub", "null"])
def test_kwargs_keys_per_handler_class(new_name, tmp_path, kind):
    p = str(tmp_path / "f.log")
    buf = io.StringIO()
    h = {
        "timed": lambda: TimedRotatingFileHandler(p, when="H", interval=2, backupCount=4, delay=True),
        "rotating": lambda: RotatingFileHandler(p, maxBytes=10, backupCount=2, delay=True),
        "file": lambda: logging.FileHandler(p, delay=True),
        "stream": lambda: logging.StreamHandler(buf),
        "stream-sub": lambda: MyStream(buf),
        "null": logging.NullHandler,
    }[kind]()
    a, b, lg, rec = capture_foreign(new_name(), h)
    assert list(rec) == RECORD_KEYS[: 6 if kind == "null" else 7]
    assert rec["id"] == id(h) and rec["type"] is type(h) and rec["filters"] is h.filters
    if kind == "timed":
        assert list(rec["kwargs"]) == TIMED_KEYS
        assert rec["kwargs"]["when"] == "H" and rec["kwargs"]["interval"] == 7200
        assert rec["kwargs"]["backupCount"] == 4 and rec["kwargs"]["mode"] == "a"
    elif kind == "rotating":
        assert list(rec["kwargs"]) == ROTATING_KEYS
        assert (rec["kwargs"]["maxBytes"], rec["kwargs"]["backupCount"]) == (10, 2)
    elif kind == "file":
        assert list(rec["kwargs"]) == FILE_KEYS and rec["kwargs"]["delay"] is True
    elif kind in ("stream", "stream-sub"):
        assert rec["kwargs"] == {}
    if kind in ("timed", "rotating", "file"):
        assert rec["kwargs"]["filename"] == h.baseFilename
    # Console true detaches every stream handler; a NullHandler is never detached.
    assert (h in lg.handlers) is (kind == "null")


def test_console_true_detaches_every_stream_handler(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n, file=str(tmp_path / "a.log"))
    lg = logging.getLogger(n)
    null, sub = logging.NullHandler(), MyStream(io.StringIO())
    lg.addHandler(null)
    lg.addHandler(sub)
    b = VarnelLog(n, rehandler=True)
    assert lg.handlers == [null, b._console_handler]
    assert a._file_handler.stream is None  # closed, not only removed
    assert a._logger is None and log_main._LOGGERS[n] == {1: a, 2: b}


def test_console_false_with_file_detaches_only_file_handlers(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n, file=str(tmp_path / "a.log"))
    lg = logging.getLogger(n)
    plain = logging.StreamHandler(io.StringIO())
    lg.addHandler(plain)
    b = VarnelLog(n, file=str(tmp_path / "b.log"), console=False, rehandler=True)
    assert b._console_handler is None
    assert lg.handlers == [a._console_handler, plain, b._file_handler]
    assert a._file_handler.stream is None


def test_console_false_without_file_detaches_nothing_but_still_stacks(new_name):
    n = new_name()
    a = VarnelLog(n)
    lg = logging.getLogger(n)
    before = list(lg.handlers)
    b = VarnelLog(n, console=False, rehandler=True)
    assert lg.handlers == before and b._console_handler is None and b._file_handler is None
    assert log_main._CAPTURES[n][1]["handler_ids"] == [id(a._console_handler)]
    assert a._logger is None and b._logger is lg
    assert log_main._LOGGERS[n] == {1: a, 2: b}


def test_three_stacked_objects_take_successive_positions(new_name):
    n = new_name()
    a = VarnelLog(n)
    b = VarnelLog(n, rehandler=True)
    c = VarnelLog(n, rehandler=True)
    assert log_main._LOGGERS[n] == {1: a, 2: b, 3: c}
    assert list(log_main._CAPTURES[n]) == [1, 2]
    assert log_main._CAPTURES[n][1]["handler_ids"] == [id(a._console_handler)]
    assert log_main._CAPTURES[n][2]["handler_ids"] == [id(b._console_handler)]
    assert (a._logger, b._logger, c._logger) == (None, None, logging.getLogger(n))


def test_logger_made_elsewhere_is_recorded_at_zero_and_handed_back(new_name):
    n = new_name()
    lg = logging.getLogger(n)
    lg.setLevel(logging.WARNING)
    out = io.StringIO()
    other = logging.StreamHandler(out)
    other.setLevel(logging.ERROR)
    lg.addHandler(other)
    b = VarnelLog(n, rehandler=True)
    record = log_main._CAPTURES[n][0]
    assert list(log_main._CAPTURES[n]) == [0]
    assert list(record) == ["handlers", "handler_ids", "level", "propagate", "disabled"]
    assert record["handler_ids"] == [id(other)]
    assert (record["level"], record["propagate"], record["disabled"]) == (logging.WARNING, True, False)
    assert log_main._LOGGERS[n] == {1: b}
    assert lg.handlers == [b._console_handler]
    assert (lg.level, lg.propagate) == (logging.DEBUG, False)
    # Closing hands the library's logger back as it was: its handler, its
    # own level and propagation, and the record at 0 gone.
    assert b.close() is None
    assert b._logger is None and n not in log_main._CAPTURES and n not in log_main._LOGGERS
    assert lg.handlers == [other] and (lg.level, lg.propagate) == (logging.WARNING, True)
    lg.error("after hand-back")
    assert out.getvalue() == "after hand-back\n"
    # A second close has nothing left to undo and leaves the library alone.
    assert b.close() is None and lg.handlers == [other]


def test_capture_of_logger_without_handlers_still_stacks(new_name):
    n = new_name()
    logging.getLogger(n)
    b = VarnelLog(n, rehandler=True)
    assert log_main._CAPTURES[n][0]["handlers"] == [] and log_main._LOGGERS[n] == {1: b}
    assert logging.getLogger(n).handlers == [b._console_handler]
    b.close()


def test_handler_refusing_close_stays_attached_and_walk_goes_on(new_name):
    n = new_name()
    a = VarnelLog(n)
    lg = logging.getLogger(n)
    bad, after = FailingClose(), logging.StreamHandler(io.StringIO())
    lg.addHandler(bad)
    lg.addHandler(after)
    b = VarnelLog(n, rehandler=True)
    assert bad.close_calls == 1
    assert lg.handlers == [bad, b._console_handler]
    assert log_main._CAPTURES[n][1]["handler_ids"] == [id(a._console_handler), id(bad), id(after)]


# --- round trips ------------------------------------------------------------


@pytest.mark.parametrize("console, with_file", [(True, True), (True, False), (False, True)])
def test_round_trip_gives_the_logger_back(new_name, tmp_path, console, with_file):
    n = new_name()
    pa, pb = str(tmp_path / "a.log"), str(tmp_path / "b.log")
    a = VarnelLog(n, file=pa)
    buf_a = io.StringIO()
    a._console_handler.setStream(buf_a)
    a.set_console_level(30)
    a.set_file_level(20)
    a.debug("a-debug")
    a.info("a-info")
    a.warning("a-warn")
    old_console, old_file = a._console_handler, a._file_handler
    lg = logging.getLogger(n)
    b = VarnelLog(n, file=pb if with_file else None, console=console, rehandler=True)
    buf_b = io.StringIO()
    if b._console_handler:
        b._console_handler.setStream(buf_b)
    a.warning("a-silenced")
    b.warning("b-warn")
    if with_file:
        assert file_lines(pb) == [(n, "WARNING", "b-warn")]
    if console:
        assert [m for *_, m in console_lines(buf_b)] == ["b-warn"]
    assert b.close() is None
    assert b._logger is None and a._logger is lg
    assert log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES
    if with_file:
        assert b._file_handler.stream is None
    assert b._console_handler not in lg.handlers
    # The very handlers come back, in their places, with what they carried.
    assert lg.handlers == [old_console, old_file]
    assert (a._console_handler, a._file_handler) == (old_console, old_file)
    assert (old_console.stream, old_console.level, old_file.level) == (buf_a, 30, 20)
    a.info("a-info-again")
    a.warning("a-warn-again")
    a.set_console_level(10)  # reaches the handler actually writing
    a.debug("a-debug-console")
    assert file_lines(pa) == [(n, "INFO", "a-info"), (n, "WARNING", "a-warn"),
                              (n, "INFO", "a-info-again"), (n, "WARNING", "a-warn-again")]
    assert [m for *_, m in console_lines(buf_a)] == (
        ["a-warn", "a-warn-again", "a-debug-console"] if console
        else ["a-warn", "b-warn", "a-warn-again", "a-debug-console"])
    a.set_file_level(40)  # likewise for the file side
    a.warning("a-warn-dropped")
    assert file_lines(pa)[-1] == (n, "WARNING", "a-warn-again")


def test_round_trip_console_false_no_file_detaches_nothing(new_name):
    n = new_name()
    a = VarnelLog(n)
    lg = logging.getLogger(n)
    handlers = list(lg.handlers)
    b = VarnelLog(n, console=False, rehandler=True)
    b.close()
    assert lg.handlers == handlers and a._console_handler is handlers[0]
    assert a._logger is lg and log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES


def test_close_on_lower_object_closes_the_top(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n, file=str(tmp_path / "a.log"))
    b = VarnelLog(n, rehandler=True)
    lg = logging.getLogger(n)
    assert a.close() is None
    assert b._logger is None and a._logger is lg
    assert log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES
    assert lg.handlers == [a._console_handler, a._file_handler]
    a.close()
    assert n not in log_main._LOGGERS and lg.handlers == [] and a._logger is None
    assert a._file_handler.stream is None
    assert log_main._FHANDLERS[a.file] == "file"


def test_three_stacked_objects_unwind_one_at_a_time(new_name, tmp_path):
    n = new_name()
    pa, pb = str(tmp_path / "a.log"), str(tmp_path / "b.log")
    a = VarnelLog(n, file=pa)
    b = VarnelLog(n, file=pb, rehandler=True)
    b.info("b-1")
    c = VarnelLog(n, rehandler=True)
    b.info("b-silenced")
    c.info("c-1")
    c.close()
    lg = logging.getLogger(n)
    assert log_main._LOGGERS[n] == {1: a, 2: b} and list(log_main._CAPTURES[n]) == [1]
    assert (a._logger, b._logger, c._logger) == (None, lg, None)
    assert lg.handlers == [b._console_handler, b._file_handler]
    b.info("b-2")
    assert [m for *_, m in file_lines(pb)] == ["b-1", "b-2"]
    b.close()
    assert log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES
    assert lg.handlers == [a._console_handler, a._file_handler]
    a.info("a-1")
    assert [m for *_, m in file_lines(pa)] == ["a-1"]
    assert [m for *_, m in file_lines(pb)] == ["b-1", "b-2"]


def test_handler_added_after_capture_is_closed_and_not_handed_back(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n)
    b = VarnelLog(n, rehandler=True)
    lg = logging.getLogger(n)
    late = logging.FileHandler(str(tmp_path / "late.log"))
    lg.addHandler(late)
    b.close()
    assert late.stream is None
    assert lg.handlers == [a._console_handler]
    assert not any(isinstance(h, logging.FileHandler) for h in lg.handlers)


def test_handler_refusing_close_is_still_detached_on_close(new_name):
    n = new_name()
    a = VarnelLog(n)
    b = VarnelLog(n, rehandler=True)
    lg = logging.getLogger(n)
    bad = FailingClose()
    lg.addHandler(bad)
    assert b.close() is None
    assert bad.close_calls == 1 and bad not in lg.handlers
    assert lg.handlers == [a._console_handler] and a._logger is lg
    assert log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES
    bad.allow_close()


def test_object_alone_on_its_stack_closes_everything(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n, file=str(tmp_path / "a.log"), handler_type="rotating")
    lg = logging.getLogger(n)
    other = logging.StreamHandler(io.StringIO())
    lg.addHandler(other)
    a.close()
    assert lg.handlers == [] and a._file_handler.stream is None and a._logger is None
    assert n not in log_main._LOGGERS and log_main._FHANDLERS[a.file] == "rotating"


# --- a closed file handler writes again when it comes back -----------------


@pytest.mark.parametrize("mode, expect", [
    ("w", "a"), ("wt", "at"), ("w+", "a+"), ("x", "a"), ("x+", "a+"), ("a", "a"),
    ("wb", "ab"), ("w+b", "a+b"), ("xb+", "ab+")])
def test_truncating_mode_reopens_for_appending(new_name, tmp_path, mode, expect):
    p = tmp_path / "m.log"
    binary = "b" in mode  # a library's own subclass, ending its lines its own way
    h = type("LibFile", (logging.FileHandler,), {"terminator": "\r\n"})(
        str(p), mode="a" if binary else mode, encoding=None if binary else "utf-8")
    h.mode = mode  # a binary spelling is never written to: only its reopening mode matters
    h.setFormatter(logging.Formatter("%(message)s"))
    h.handle(logging.makeLogRecord({"msg": "before"}))
    a, b, lg, rec = capture_foreign(new_name(), h)
    assert rec["kwargs"]["mode"] == mode and h.stream is None
    b.close()
    assert lg.handlers[1] is h and h.mode == expect
    if not binary:
        lg.warning("after")
        assert p.read_bytes() == b"before\r\nafter\r\n"


# --- closing an object whose name has no stack ------------------------------


def test_close_of_child_capturing_object_touches_no_registry(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n)
    b = VarnelLog(n, file=str(tmp_path / "b.log"))
    child = logging.getLogger(b.name)
    before = snapshot()
    assert b.close() is None
    assert child.handlers == [] and b._file_handler.stream is None and b._logger is None
    assert snapshot() == before
    assert a._logger is logging.getLogger(n) and a._console_handler in a._logger.handlers


def test_close_called_twice(new_name, tmp_path):
    n = new_name()
    a = VarnelLog(n, file=str(tmp_path / "a.log"))
    assert a.close() is None
    lg = logging.getLogger(n)
    late = logging.FileHandler(str(tmp_path / "late.log"))
    lg.addHandler(late)
    before = snapshot()
    assert a.close() is None
    assert lg.handlers == [] and late.stream is None and a._logger is None
    assert snapshot() == before


# --- a typical life, step by step --------------------------------------------


def test_typical_life(new_name, tmp_path):
    n = new_name()
    # 1. a new name: a configuring object with a console and a rotating file.
    a = VarnelLog(n, file=str(tmp_path / "logs" / "app.log"), handler_type="rotating")
    P = os.path.normpath(os.path.abspath(str(tmp_path / "logs" / "app.log")))
    lg = logging.getLogger(n)
    assert type(a) is log_main._SetLogger and a.file == P
    assert (lg.level, lg.propagate) == (logging.DEBUG, False)
    con, fil = lg.handlers
    assert con is a._console_handler and type(con) is colorlog.StreamHandler
    assert fil is a._file_handler and type(fil) is RotatingFileHandler
    assert (fil.baseFilename, fil.encoding, fil.mode, fil.maxBytes, fil.backupCount) == (
        P, "utf-8", "a", 104857600, 100)
    assert con.level == fil.level == 10 and con.filters == fil.filters == [a._handler_filter]
    assert log_main._FHANDLERS[P] == "rotating"
    assert log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES
    # 2. info joins its parts; the console line is green, the file line plain.
    buf = io.StringIO()
    con.setStream(buf)
    a.info("started", 3)
    assert console_lines(buf) == [(n, "INFO", "started 3")]
    assert re.match(r"^(\x1b\[32m)?\d{4}-", buf.getvalue())
    assert file_lines(P) == [(n, "INFO", "started 3")]
    # 3. the console threshold rises to WARNING; the file still gets INFO.
    a.set_console_level(30)
    a.info("quiet")
    assert len(console_lines(buf)) == 1 and file_lines(P)[-1] == (n, "INFO", "quiet")
    # 4. a capturing object takes the name over.
    b = VarnelLog(n, rehandler=True)
    assert type(b) is log_main._GetLogger and b.name == n
    rec = log_main._CAPTURES[n][1]
    assert list(log_main._CAPTURES[n]) == [1]
    assert [h["type"] for h in rec["handlers"]] == [colorlog.StreamHandler, RotatingFileHandler]
    assert rec["handler_ids"] == [id(con), id(fil)] and fil.stream is None
    assert lg.handlers == [b._console_handler]
    assert a._logger is None and log_main._LOGGERS[n] == {1: a, 2: b}
    # 5. closing it hands the very handlers back to the first object.
    b.close()
    assert lg.handlers == [con, fil] and (con.level, fil.level) == (30, 10)
    assert a._logger is lg and b._logger is None
    assert log_main._LOGGERS[n] == {1: a} and n not in log_main._CAPTURES
    assert log_main._FHANDLERS[P] == "rotating"
    a.warning("back")
    assert [m for *_, m in file_lines(P)] == ["started 3", "quiet", "back"]
    assert console_lines(buf)[-1] == (n, "WARNING", "back")
