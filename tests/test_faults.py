"""Faults injected into handlers, loggers, the file system and the import: each has
its stated outcome, _LOCK is released, and the next factory call and close work."""

import io
import json
import logging
import os
import subprocess
import sys

import pytest
from conftest import logger_state, run_python, unique_name

import log_main
from log_main import VarnelLog


class CloseRaises(logging.StreamHandler):
    """close() raises `exc` (after really closing) while `armed` is true."""

    def __init__(self, exc=RuntimeError):
        super().__init__(io.StringIO())
        self.exc, self.armed, self.closes = exc, True, 0

    def close(self):
        self.closes += 1
        super().close()
        if self.armed:
            raise self.exc("close refused")


def lines(path):
    return open(path, encoding="utf-8").read().splitlines() if os.path.exists(path) else []


def assert_healthy(tmp_path):
    """The module still works: the lock is free, and a fresh logger round trip
    (factory, log, take-over, close, close) ends with clean registries."""
    assert not log_main._LOCK.locked()
    name, path = unique_name(), str(tmp_path / f"{unique_name()}.log")
    obj = VarnelLog(name, file=path, console=False)
    top = VarnelLog(name, rehandler=True, console=False)
    top.close()
    obj.info("still", "working")
    obj.close()
    assert lines(path)[-1].endswith(" - INFO - still working")
    assert name not in log_main._LOGGERS and name not in log_main._CAPTURES
    assert not log_main._LOCK.locked()


def test_handler_close_raising_during_capture_and_close(tmp_path):
    name, path = unique_name(), str(tmp_path / "base.log")
    base = VarnelLog(name, file=path, console=False)
    bad = CloseRaises()
    logger = logging.getLogger(name)
    logger.addHandler(bad)

    top = VarnelLog(name, rehandler=True, console=True)  # detaches stream handlers
    assert bad.closes == 1 and bad in logger.handlers  # close() raised: stays attached
    assert base._file_handler not in logger.handlers  # the walk went on past it
    assert not log_main._LOCK.locked()
    top.close()
    assert bad in logger.handlers and base._logger is logger
    base.info("after the round trip")
    assert lines(path)[-1].endswith(" - INFO - after the round trip")

    base.close()  # removes every handler; bad's close() raises again, discarded
    assert bad.closes == 2 and logger.handlers == []
    assert name not in log_main._LOGGERS
    assert_healthy(tmp_path)


def test_handler_close_raising_baseexception_propagates_with_lock_released(tmp_path):
    name, path = unique_name(), str(tmp_path / "a.log")
    obj = VarnelLog(name, console=False, file=path)
    bad = CloseRaises(KeyboardInterrupt)
    logging.getLogger(name).addHandler(bad)
    with pytest.raises(KeyboardInterrupt):
        VarnelLog(name, rehandler=True, console=True)
    # The take-over is undone: no record, the stack and obj's file as they were.
    assert not log_main._LOCK.locked()
    assert name not in log_main._CAPTURES and log_main._LOGGERS[name] == {1: obj}
    obj.info("still written")
    assert lines(path)[-1].endswith(" - INFO - still written")
    # close finishes its work, then raises what close() raised.
    with pytest.raises(KeyboardInterrupt):
        obj.close()
    assert not log_main._LOCK.locked() and name not in log_main._LOGGERS
    assert logging.getLogger(name).handlers == []
    assert_healthy(tmp_path)


def test_remove_handler_raising(tmp_path):
    name, path = unique_name(), str(tmp_path / "base.log")
    base = VarnelLog(name, file=path, console=False)
    logger = logging.getLogger(name)

    def refuse(handler):
        raise RuntimeError("removeHandler refused")

    logger.removeHandler = refuse
    try:
        # During a capture the error is discarded: the handler is closed but stays.
        top = VarnelLog(name, rehandler=True, console=False, file=str(tmp_path / "top.log"))
        assert base._file_handler in logger.handlers
        assert log_main._LOGGERS[name] == {1: base, 2: top}
        # During close it is raised once the stack has been popped, so close
        # cannot get stuck on a handler it cannot remove.
        with pytest.raises(RuntimeError, match="removeHandler refused"):
            top.close()
        assert not log_main._LOCK.locked()
        assert log_main._LOGGERS[name] == {1: base} and name not in log_main._CAPTURES
    finally:
        del logger.removeHandler
    base.info("written again")
    assert lines(path)[-1].endswith(" - INFO - written again")
    base.close()
    assert_healthy(tmp_path)


def regular_file(tmp_path):
    p = tmp_path / "plain"
    p.write_text("")
    return p


FAILURES = {
    # label: (file, handler_type, extra keywords, exception, message part)
    "unknown kind": (lambda t: t / "k" / "a.log", "bogus", {}, ValueError,
                     "bogus 不是有效的处理器类型，可选值 [file, rotating, timerotating]"),
    "dir under a file": (lambda t: regular_file(t) / "sub" / "a.log", "file", {},
                         NotADirectoryError, "Not a directory"),
    "dir is a file": (lambda t: regular_file(t) / "a.log", "rotating", {},
                      FileExistsError, "File exists"),
    "file is a dir": (lambda t: t, "file", {}, IsADirectoryError, "Is a directory"),
    "invalid when": (lambda t: t / "w.log", "timerotating", {"when": "fortnightly"},
                     ValueError, "Invalid rollover interval"),
}


@pytest.mark.parametrize("label", list(FAILURES))
def test_constructor_failing_half_way(tmp_path, label):
    make_path, kind, extra, exc, text = FAILURES[label]
    name, path = unique_name(), str(make_path(tmp_path))
    with pytest.raises(exc) as info:
        VarnelLog(name, file=path, handler_type=kind, **extra)
    assert text in str(info.value)
    assert not log_main._LOCK.locked()
    assert name not in log_main._LOGGERS and os.path.normpath(path) not in log_main._FHANDLERS
    logger = logging.getLogger(name)  # known to logging now, but without handlers
    assert logger.handlers == []
    if label == "unknown kind":
        assert os.path.isdir(tmp_path / "k") and os.listdir(tmp_path / "k") == []
    # The name is now known to logging: the next call captures it, and works.
    good = str(tmp_path / "good.log")
    again = VarnelLog(name, file=good, console=False, rehandler=True)
    assert isinstance(again, log_main._GetLogger)
    again.info("recovered")
    again.close()
    assert lines(good)[-1].endswith(" - INFO - recovered")
    assert_healthy(tmp_path)


def test_failed_take_over_leaves_the_working_object_alone(tmp_path):
    name, path = unique_name(), str(tmp_path / "base.log")
    base = VarnelLog(name, file=path, console=True)
    before = list(logging.getLogger(name).handlers)
    for _ in range(3):  # each retry fails the same way and stacks nothing
        with pytest.raises(IsADirectoryError):
            VarnelLog(name, rehandler=True, file=str(tmp_path))
    assert not log_main._LOCK.locked()
    assert log_main._LOGGERS[name] == {1: base} and name not in log_main._CAPTURES
    assert logging.getLogger(name).handlers == before == [base._console_handler, base._file_handler]
    base.info("base again")
    assert lines(path)[-1].endswith(" - INFO - base again")
    base.close()
    assert_healthy(tmp_path)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_disk(tmp_path, capsys):
    if log_main._FHANDLERS.get("/dev/full", "file") != "file":
        pytest.skip("/dev/full already registered with another kind")
    obj = VarnelLog(unique_name(), file="/dev/full", console=False)
    for method in (obj.debug, obj.info, obj.warning, obj.error, obj.critical):
        assert method("lost", 1) is None
    err = capsys.readouterr().err
    assert err.count("--- Logging error ---") == 5 and "No space left on device" in err
    assert obj.close() is None  # the flush in close() fails too: discarded
    assert obj._file_handler.stream is None
    assert_healthy(tmp_path)


def test_colorlog_missing_at_import(tmp_path):
    script = r"""
import json, sys
sys.modules["colorlog"] = None  # makes `import colorlog` fail
out = {}
try:
    import log_main
except ImportError as exc:
    out["first"] = [type(exc).__name__, exc.name]
out["left_in_modules"] = "log_main" in sys.modules
del sys.modules["colorlog"]
import log_main
obj = log_main.VarnelLog("app", file=sys.argv[1])
obj.info("after the failed import")
obj.close()
out["locked"] = log_main._LOCK.locked()
out["loggers"] = list(log_main._LOGGERS)
print(json.dumps(out))
"""
    path = tmp_path / "app.log"
    proc = run_python("-c", script, str(path), cwd=tmp_path, timeout=60)
    out = json.loads(proc.stdout.splitlines()[-1])
    assert out == {"first": ["ModuleNotFoundError", "colorlog"], "left_in_modules": False,
                   "locked": False, "loggers": []}
    assert lines(path)[-1].endswith(" - app - INFO - after the failed import")
    assert "after the failed import" in proc.stderr  # the console handler wrote too


def test_detached_handler_freed_during_a_take_over(tmp_path):
    # A detached handler that only the logger held is freed during the take-over,
    # and a handler made afterwards can get the same id(). Close must still
    # remove the departing object's own handler and hand the detached one back.
    name = unique_name()
    base = VarnelLog(name, console=False, file=str(tmp_path / "base.log"))
    logger = logging.getLogger(name)
    for attempt in range(100):
        logger.addHandler(logging.StreamHandler(io.StringIO()))  # nobody else keeps it
        library = logger.handlers[-1]
        top = VarnelLog(name, rehandler=True)  # console: detaches every stream handler
        own = top._console_handler
        top.close()
        assert all(h is not own for h in logger.handlers), (
            f"attempt {attempt}: close left the departing object's handler attached")
        assert logger.handlers == [base._file_handler, library], f"attempt {attempt}"
        logger.removeHandler(library)
        assert logger.handlers == [base._file_handler]
    base.close()
    assert_healthy(tmp_path)


def test_a_registration_refused_after_the_set_up_undoes_it(tmp_path, monkeypatch):
    name, path = unique_name(), str(tmp_path / "a.log")

    class Rebinding(log_main._SetLogger):
        def _setup_logger(self):
            super()._setup_logger()
            monkeypatch.setattr(log_main, "_LOGGERS", [])  # code run during the construction

    monkeypatch.setattr(log_main, "_SetLogger", Rebinding)
    with pytest.raises(TypeError, match="_LOGGERS must be a dict"):
        VarnelLog(name, file=path)
    assert logger_state(name) == logger_state(unique_name()) and path not in log_main._FHANDLERS


def test_a_lock_exit_reraising_its_exception_chains_nothing(tmp_path, monkeypatch):
    class Reraising:
        __enter__ = lambda self: None

        def __exit__(self, kind, exc, tb):
            raise exc

    monkeypatch.setattr(log_main, "_LOCK", Reraising())
    with pytest.raises(IsADirectoryError) as info:
        VarnelLog(unique_name(), file=str(tmp_path))
    assert info.value.__context__ is None


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_an_import_retried_after_a_failure_has_its_fork_hooks():
    proc = subprocess.run([sys.executable, "-c", """if True:
        import os
        register, os.register_at_fork = os.register_at_fork, None  # the first import fails
        try:
            import log_main
        except TypeError:
            os.register_at_fork = register
        import log_main

        class Probe:
            calls = []
            __enter__ = lambda self: self.calls.append("enter")
            __exit__ = lambda self, *exc: self.calls.append("exit")
            _at_fork_reinit = lambda self: self.calls.append("reinit")

        log_main._LOCK = Probe()
        if (pid := os.fork()) == 0:
            os._exit(Probe.calls != ["enter", "reinit"])
        print(Probe.calls, os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))"""],
        capture_output=True, text=True, timeout=60)
    assert proc.stdout == "['enter', 'exit'] 0\n", proc.stderr
