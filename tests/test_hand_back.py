"""Library loggers taken over with rehandler=True come back as they were, whatever their shape."""

import io
import logging
import logging.config
import os
import re
import textwrap
import weakref

import pytest
from conftest import run_python, unique_name

import log_main
from log_main import VarnelLog

ANSI = re.compile(r"\x1b\[")  # the start of any escape sequence


def stream_handler(buf, fmt="%(name)s|%(levelname)s|%(message)s"):
    h = logging.StreamHandler(buf)
    h.setFormatter(logging.Formatter(fmt))
    return h


def test_logger_without_handlers_propagates_again():
    name = unique_name("lib")
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
    name, out = unique_name("lib"), io.StringIO()
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


def test_the_very_handlers_come_back_in_their_places_writing():
    name = unique_name("lib")
    lib = logging.getLogger(name)
    outs = [io.StringIO() for _ in range(3)]
    plain = logging.StreamHandler(outs[0])
    plain.terminator = " | "
    plain.name = f"{name}-plain"
    handlers = [plain, PrefixHandler("lib: ", outs[1]), PrefixStream(">", outs[2])]
    for h in handlers:
        lib.addHandler(h)
    obj = VarnelLog(name, rehandler=True)
    assert lib.handlers == [handlers[1], obj._console_handler]  # not a stream: never detached
    obj.close()
    obj.close()  # a second close leaves the library alone
    assert lib.handlers == handlers
    assert logging.getHandlerByName(plain.name) is plain
    plain.setLevel(logging.ERROR)  # a kept reference still acts on what writes
    lib.warning("w")
    lib.error("e")
    assert [o.getvalue() for o in outs] == ["e | ", "lib: w\nlib: e\n", "w\ne\n"]


def test_handler_shared_with_root_keeps_writing_for_both(tmp_path):
    name, path = unique_name("lib"), tmp_path / "shared.log"
    shared = logging.FileHandler(str(path), mode="w", encoding="utf-8")
    shared.setFormatter(logging.Formatter("%(name)s:%(message)s"))
    root, lib = logging.getLogger(), logging.getLogger(name)
    root.addHandler(shared)  # as dictConfig does: one object on root and on the library
    lib.addHandler(shared)
    lib.propagate = False
    try:
        obj = VarnelLog(name, rehandler=True, console=True)
        root.warning("root during")
        obj.close(), lib.warning("lib after"), root.warning("root after")
    finally:
        root.removeHandler(shared)
        shared.close()
    assert lib.handlers == [shared]
    assert path.read_text(encoding="utf-8") == "root:root during\n{0}:lib after\nroot:root after\n".format(name)


def test_handler_our_close_removes_keeps_writing_for_root(new_name, tmp_path):
    obj, root = VarnelLog(new_name(), file=str(tmp_path / "f.log"), console=False), logging.getLogger()
    root.addHandler(obj._file_handler)  # no other reference: only the loggers and obj hold it
    try:
        obj.close()
        root.warning("root after")
    finally:
        root.removeHandler(obj._file_handler)
        obj._file_handler.close()
    assert (tmp_path / "f.log").read_text(encoding="utf-8").endswith(" - WARNING - root after\n")


@pytest.mark.parametrize("share", ["handlers", "__dict__"])
def test_handler_of_a_logger_sharing_the_list_is_not_closed(tmp_path, share):
    lib, other = logging.getLogger(unique_name("lib")), logging.getLogger(unique_name("other"))
    lib.addHandler(logging.FileHandler(str(tmp_path / "lib.log")))  # held by no variable
    setattr(other, share, getattr(lib, share))  # `other` carries the very same list
    handler = weakref.ref(lib.handlers[0])
    obj = VarnelLog(lib.name, rehandler=True, console=False, file=str(tmp_path / "ours.log"))
    assert handler().stream is not None and lib.handlers == [obj._file_handler]
    obj.close()
    assert lib.handlers == [handler()] and handler().stream is not None
    handler().close()


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
    done = run_python("-c", script, timeout=60)
    assert done.stdout == "20 INFO:reaches basicConfig's handler\n"


def test_logger_disabled_by_dictconfig_writes_while_taken_over(tmp_path):
    name = unique_name("lib")
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


def test_tracebacks_in_the_file_carry_no_colour(tmp_path, monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")
    console = io.StringIO()
    path = str(tmp_path / "exc.log")
    obj = VarnelLog(unique_name("lib"), file=path)
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
    name = unique_name("lib")
    with pytest.raises(IsADirectoryError):
        VarnelLog(name, file=str(tmp_path))
    lg = logging.getLogger(name)
    assert (lg.handlers, lg.level, lg.propagate) == ([], logging.NOTSET, True)
    assert name not in log_main._LOGGERS and os.listdir(tmp_path) == []
