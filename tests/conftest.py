"""Shared fixtures for the log_main tests."""

import re
import uuid

import pytest


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
