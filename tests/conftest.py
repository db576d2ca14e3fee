"""Shared fixtures for the log_main tests."""

import importlib.metadata
import logging
import os
import re
import uuid

import pytest

import log_main


# What the stub says is checked with mypy 2, which reads VarnelLog(...) as the
# `_LogBase` its `__new__` returns; mypy 1 (held there on a free-threaded
# venv, see constraints-freethreaded.txt) reads it as `VarnelLog`.
try:
    _MYPY_MAJOR = int(importlib.metadata.version("mypy").split(".")[0])
except importlib.metadata.PackageNotFoundError:
    _MYPY_MAJOR = 0
needs_mypy_2 = pytest.mark.skipif(_MYPY_MAJOR < 2, reason="needs mypy 2 (pip install -r requirements-dev.txt)")


@pytest.fixture
def fresh_name():
    """Factory of logger names never used before in this process."""
    return lambda: f"t_{uuid.uuid4().hex}"


# One file record: "time - name - LEVEL - message", time as logging's asctime.
FILE_LINE_RE = re.compile(
    r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}) - (\S+) - ([A-Z]+|Level \d+) - (.*)$"
)


@pytest.fixture
def read_records():
    """read_records(path) -> [(name, levelname, message)]; every line must be a record."""

    def read(path):
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        out = []
        for line in lines:
            m = FILE_LINE_RE.match(line)
            assert m is not None, f"not a log record line: {line!r}"
            out.append(m.group(2, 3, 4))
        return out

    return read


def check_registries():
    """dict of name -> non-empty dict of int position -> logger object (_LOGGERS)
    or capture record (_CAPTURES); _FHANDLERS: absolute path -> one of the kinds."""
    for name, stack in log_main._LOGGERS.items():
        assert type(name) is str and type(stack) is dict and stack, (name, stack)
        for pos, obj in stack.items():
            assert type(pos) is int and pos >= 1, (name, stack)
            assert isinstance(obj, log_main._LogBase), (name, pos, obj)
    for name, records in log_main._CAPTURES.items():
        assert type(name) is str and type(records) is dict and records, (name, records)
        for pos, record in records.items():
            assert type(pos) is int and pos >= 0, (name, records)
            assert type(record) is dict, (name, pos, record)
            handlers, ids = record["handlers"], record["handler_ids"]
            assert type(handlers) is list and type(ids) is list, (name, pos, record)
            assert [h["id"] for h in handlers] == ids, (name, pos, record)
            for h in handlers:
                assert type(h) is dict and isinstance(h["type"], type), (name, pos, h)
                assert type(h.get("kwargs", {})) is dict, (name, pos, h)
    for path, kind in log_main._FHANDLERS.items():
        assert kind in ("file", "rotating", "timerotating"), (path, kind)
        assert type(path) is str and os.path.isabs(path), path


def logger_state(name):
    """What a user sees of logging's logger `name`: level, propagate, disabled and its
    handlers (described, so that a handler handed back as an equivalent copy matches)."""
    lg = logging.Logger.manager.loggerDict.get(name)
    if not isinstance(lg, logging.Logger):
        return (logging.NOTSET, True, False, [])  # how logging makes it
    return (lg.level, lg.propagate, lg.disabled, sorted(
        (type(h).__name__, h.level, getattr(h, "baseFilename", None)) for h in lg.handlers))


def forget_logger(name):
    """Removes `name` from logging's registry under logging's own lock, as logging
    changes it: Manager._clear_cache (every setLevel) iterates it under that lock."""
    with logging._lock:
        del logging.Logger.manager.loggerDict[name]
