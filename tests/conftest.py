"""Shared fixtures for the log_main tests."""

import importlib.metadata
import logging
import re
import uuid

import pytest


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


def forget_logger(name):
    """Removes `name` from logging's registry under logging's own lock, as logging
    changes it: Manager._clear_cache (every setLevel) iterates it under that lock."""
    with logging._lock:
        del logging.Logger.manager.loggerDict[name]
