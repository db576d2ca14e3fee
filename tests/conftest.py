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
    for registry, lowest in ((log_main._LOGGERS, 1), (log_main._CAPTURES, 0)):
        for name, per_name in registry.items():
            assert type(name) is str and type(per_name) is dict and per_name, (name, per_name)
            assert all(type(p) is int and p >= lowest for p in per_name), (name, per_name)
    for name, stack in log_main._LOGGERS.items():
        assert all(isinstance(obj, log_main._LogBase) for obj in stack.values()), (name, stack)
    for name, records in log_main._CAPTURES.items():
        for pos, record in records.items():
            handlers, ids = record["handlers"], record["handler_ids"]
            assert type(handlers) is list and [h["id"] for h in handlers] == ids, (name, pos)
            assert all(isinstance(h["type"], type) and type(h.get("kwargs", {})) is dict
                       for h in handlers), (name, pos, handlers)
    for path, kind in log_main._FHANDLERS.items():
        assert kind in ("file", "rotating", "timerotating") and os.path.isabs(path), (path, kind)


def logger_state(name):
    """What a user sees of logging's logger `name`: level, propagate, disabled, handlers."""
    lg = logging.Logger.manager.loggerDict.get(name)
    if not isinstance(lg, logging.Logger):
        return (logging.NOTSET, True, False, [])  # how logging makes it
    return (lg.level, lg.propagate, lg.disabled, list(lg.handlers))


def forget_logger(name):
    """Removes `name` from logging's registry under logging's own lock, as logging
    changes it: Manager._clear_cache (every setLevel) iterates it under that lock."""
    with logging._lock:
        del logging.Logger.manager.loggerDict[name]
