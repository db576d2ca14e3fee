"""Shared fixtures and helpers for the log_main tests."""

import importlib.metadata
import logging
import os
import re
import subprocess
import sys
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


def unique_name(prefix="t"):
    """A logger name never used before in this process: `<prefix>_<32 hex digits>`."""
    return f"{prefix}_{uuid.uuid4().hex}"


@pytest.fixture
def fresh_name():
    """Factory of logger names never used before in this process."""
    return unique_name


def close_handlers(logger):
    """Removes and closes every handler of `logger` (a logging.PlaceHolder has none);
    a handler that refuses to close until its allow_close() is called gets that call first."""
    for h in list(getattr(logger, "handlers", [])):
        logger.removeHandler(h)
        getattr(h, "allow_close", lambda: None)()
        h.close()


def close_family(name):
    """close_handlers on logging's logger `name` and on every logger below it."""
    for key in [name] + [k for k in logging.Logger.manager.loggerDict if k.startswith(name + ".")]:
        close_handlers(logging.getLogger(key))


def drop_loggers(prefix):
    """Takes every logger whose name starts with `prefix` out of logging's registry
    and closes its handlers."""
    manager = logging.Logger.manager
    for name in [n for n in manager.loggerDict if n.startswith(prefix)]:
        close_handlers(manager.loggerDict.pop(name))


@pytest.fixture
def new_name():
    """Factory of fresh logger names; after the test, whatever handlers are left on
    each name and the loggers below it are removed and closed."""
    made = []

    def make():
        made.append(unique_name())
        return made[-1]

    yield make
    for n in made:
        close_family(n)


# logging's asctime as a record line starts with it: "2024-05-01 12:00:00,123".
ASCTIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}"


def record_line(name=r"(\S+)", level=r"([A-Z]+)", message=r"(.*)"):
    """The regex of one record line, "<asctime> - <name> - <levelname> - <message>",
    each part a regex; by default name, levelname and message are its three groups."""
    return f"{ASCTIME} - {name} - {level} - {message}"


LINE_RE = re.compile(f"^{record_line()}$")
# One terminal escape code of colorlog's (a colour or the reset).
ESCAPE = r"\x1b\[[0-9;]*m"
ESCAPE_RE = re.compile(ESCAPE)


def uncoloured(text):
    """`text` without its terminal escape codes."""
    return ESCAPE_RE.sub("", text)


def run_python(*args, timeout=120, **kwargs):
    """Runs this interpreter with `args` in a subprocess, text output captured; it
    must exit with 0 (its standard error is the failure message). -> CompletedProcess."""
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert proc.returncode == 0, proc.stderr
    return proc


# A file record; its level may also be one without a name ("Level 5").
FILE_LINE_RE = re.compile("^" + record_line(level=r"([A-Z]+|Level \d+)") + "$")


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
            out.append(m.groups())
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
