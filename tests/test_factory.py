"""VarnelLog: choosing the variant, registering configuring loggers, and the lock."""

import io
import json
import logging
import re
import threading

import pytest
from conftest import run_python, unique_name

import log_main
from log_main import VarnelLog

UUID_CHILD = r"\.[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"


@pytest.fixture
def name(new_name):
    """A fresh name; whatever the test left on this logger and its children is closed."""
    return new_name()


def registry_snapshot():
    return {k: dict(v) for k, v in log_main._LOGGERS.items()}


class RecordingLock:
    """Stands in for _LOCK and notes every enter and exit with what it saw."""

    def __init__(self, watch):
        self.events = []
        self.watch = watch

    def __enter__(self):
        self.events.append(("enter", self.watch in logging.Logger.manager.loggerDict))
        return self

    def __exit__(self, exc_type, exc, tb):
        self.events.append(("exit", exc_type, self.watch in log_main._LOGGERS))
        return False


# --- choosing the variant ---------------------------------------------------


def test_new_name_gives_configuring_logger_at_position_one(name):
    obj = VarnelLog(name)
    assert type(obj) is log_main._SetLogger
    assert not isinstance(obj, VarnelLog)
    assert list(log_main._LOGGERS[name]) == [1]
    assert log_main._LOGGERS[name][1] is obj
    assert obj.name == name and obj._logger is logging.getLogger(name)


def test_second_call_gives_new_child_capturing_logger(name):
    first = VarnelLog(name)
    captures_before = dict(log_main._CAPTURES)
    second = VarnelLog(name)
    assert type(second) is log_main._GetLogger and second is not first
    assert re.fullmatch(re.escape(name) + UUID_CHILD, second.name)
    assert len(second.name) == len(name) + 1 + 36
    assert second.name not in log_main._LOGGERS
    assert second.name not in log_main._CAPTURES
    assert log_main._CAPTURES == captures_before
    assert log_main._LOGGERS[name] == {1: first}
    # The first object keeps writing through its own logger and handlers.
    assert first._logger is logging.getLogger(name)
    assert first._console_handler in logging.getLogger(name).handlers
    third = VarnelLog(name)
    assert third.name != second.name


def test_package_known_only_through_its_modules_is_configured(name, tmp_path, read_records, monkeypatch):
    # A package's modules call getLogger(__name__) at import, before main
    # configures the package itself.
    db, api = logging.getLogger(name + ".db"), logging.getLogger(name + ".api")
    monkeypatch.setattr(logging.root, "handlers", [logging.StreamHandler(at_root := io.StringIO())])
    obj = VarnelLog(name, file=str(tmp_path / "pkg.log"), console=False)
    assert type(obj) is log_main._SetLogger and obj.name == name
    assert log_main._LOGGERS[name] == {1: obj}
    db.debug("query")
    api.info("request")
    obj.close()  # the package's logger is handed back as logging made it
    assert read_records(tmp_path / "pkg.log") == [(name, "DEBUG", "query"), (name, "INFO", "request")]
    db.warning("to root's handlers again")
    assert at_root.getvalue() == "to root's handlers again\n"
    pkg = logging.getLogger(name)
    assert (pkg.level, pkg.propagate, pkg.disabled, pkg.handlers) == (logging.NOTSET, True, False, [])


def test_name_made_by_other_code_takes_capturing_path(name):
    logging.getLogger(name)
    obj = VarnelLog(name, rehandler=True)
    assert type(obj) is log_main._GetLogger
    assert obj.name == name
    assert log_main._LOGGERS[name] == {1: obj}
    obj.close()


def test_rehandler_for_new_name_is_dropped(name):
    obj = VarnelLog(name, rehandler=True)
    assert type(obj) is log_main._SetLogger
    assert not hasattr(obj, "rehandler")
    assert log_main._LOGGERS[name] == {1: obj}


def test_console_zero_reaches_constructor_unchanged(name, tmp_path):
    obj = VarnelLog(name, file=str(tmp_path / "a.log"), console=0)
    assert obj.console == 0 and type(obj.console) is int
    assert obj._console_handler is None


def test_extra_keywords_reach_constructor_and_callers_dict_is_untouched(name, tmp_path):
    opts = {"maxBytes": 1234, "backupCount": 3, "encoding": "latin-1", "unknown": object()}
    before = dict(opts)
    obj = VarnelLog(name, file=str(tmp_path / "r.log"), handler_type="rotating", **opts)
    assert obj.kwargs == before and obj.kwargs is not opts
    assert list(obj.kwargs) == list(before)
    assert obj._file_handler.maxBytes == 1234 and obj._file_handler.backupCount == 3
    assert obj._file_handler.encoding == "latin-1"
    obj.kwargs["maxBytes"] = 1
    assert opts == before


def test_subclass_of_factory_behaves_like_factory(name):
    class Sub(VarnelLog):
        pass

    a = Sub(name)
    b = Sub(name)
    assert type(a) is log_main._SetLogger and type(b) is log_main._GetLogger
    assert not isinstance(a, Sub)
    assert log_main._LOGGERS[name] == {1: a}


# --- argument errors and constructor failures -------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message, noted",
    [
        ((), {}, r"__new__() takes at least 2 positional arguments (1 given)", False),
        ((), {"level": 20}, r"__new__() takes at least 2 positional arguments (1 given)", False),
        (("N", True), {}, "Argument 'level' has incorrect type (expected int, got bool)", True),
        (("N", None), {}, "Argument 'level' has incorrect type (expected int, got NoneType)", False),
        (("N",), {"handler_type": None},
         "Argument 'handler_type' has incorrect type (expected str, got NoneType)", False),
        (("N", 10, 3), {}, "Argument 'file' has incorrect type (expected str, got int)", False),
        (("N",) + (1,) * 7, {}, r"__new__() takes at most 7 positional arguments (9 given)", False),
    ],
)
def test_argument_errors_are_raised_before_the_lock(name, args, kwargs, message, noted):
    args = tuple(name if a == "N" else a for a in args)
    before = registry_snapshot()
    rec = RecordingLock(name)
    saved = log_main._LOCK
    log_main._LOCK = rec
    try:
        with pytest.raises(TypeError) as info:
            VarnelLog(*args, **kwargs)
    finally:
        log_main._LOCK = saved
    assert str(info.value) == message
    assert bool(getattr(info.value, "__notes__", None)) is noted
    assert rec.events == []
    assert name not in logging.Logger.manager.loggerDict
    assert registry_snapshot() == before
    assert not log_main._LOCK.locked()
    assert type(VarnelLog(name)) is log_main._SetLogger


def test_str_subclass_name_is_refused_with_note(name):
    class S(str):
        pass

    with pytest.raises(TypeError) as info:
        VarnelLog(S(name))
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got S)"
    assert info.value.__notes__
    assert name not in logging.Logger.manager.loggerDict


def test_name_by_keyword_only_works(name):
    assert type(VarnelLog(name=name)) is log_main._SetLogger


def test_constructor_failure_leaves_registry_and_releases_lock(name, tmp_path):
    before = registry_snapshot()
    with pytest.raises(ValueError, match=r"^bogus 不是有效的处理器类型"):
        VarnelLog(name, file=str(tmp_path / "x.log"), handler_type="bogus")
    assert registry_snapshot() == before
    assert not log_main._LOCK.locked()
    other = unique_name()
    assert type(VarnelLog(other)) is log_main._SetLogger


def test_file_of_another_kind_fails_and_leaves_registry(name, tmp_path):
    path = str(tmp_path / "k.log")
    first = VarnelLog(name, file=path, handler_type="file")
    before = registry_snapshot()
    other = unique_name()
    with pytest.raises(ValueError, match="处理器冲突"):
        VarnelLog(other, file=path, handler_type="rotating")
    assert registry_snapshot() == before
    assert other not in log_main._LOGGERS
    assert not log_main._LOCK.locked()
    assert log_main._LOGGERS[name] == {1: first}
    assert other not in logging.Logger.manager.loggerDict


# --- the lock is looked up at call time and used as a context manager -----


def test_lock_is_read_at_call_time_and_held_over_construction(name):
    rec = RecordingLock(name)
    saved = log_main._LOCK
    log_main._LOCK = rec
    try:
        obj = VarnelLog(name)
    finally:
        log_main._LOCK = saved
    # Entered before the name existed; left only after the registry held it.
    assert rec.events == [("enter", False), ("exit", None, True)]
    assert log_main._LOGGERS[name] == {1: obj}


def test_lock_is_left_when_the_constructor_raises(name, tmp_path):
    rec = RecordingLock(name)
    saved = log_main._LOCK
    log_main._LOCK = rec
    try:
        with pytest.raises(ValueError):
            VarnelLog(name, file=str(tmp_path / "y.log"), handler_type="timed")
    finally:
        log_main._LOCK = saved
    assert rec.events == [("enter", False), ("exit", ValueError, False)]


def test_close_uses_the_lock_read_at_call_time(name):
    obj = VarnelLog(name)
    rec = RecordingLock(name)
    saved = log_main._LOCK
    log_main._LOCK = rec
    try:
        assert obj.close() is None
    finally:
        log_main._LOCK = saved
    assert [e[0] for e in rec.events] == ["enter", "exit"]
    assert rec.events[1][1] is None


# --- two threads, one new name ----------------------------------------------


@pytest.mark.parametrize("round_", range(5))
def test_two_threads_asking_for_one_new_name(name, round_):
    barrier = threading.Barrier(2)
    results, errors = [], []

    def ask():
        try:
            barrier.wait()
            results.append(VarnelLog(name))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=ask) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors and len(results) == 2
    kinds = sorted(type(r).__name__ for r in results)
    assert kinds == ["_GetLogger", "_SetLogger"]
    setter = next(r for r in results if type(r) is log_main._SetLogger)
    assert log_main._LOGGERS[name] == {1: setter}
    assert not log_main._LOCK.locked()


# --- the root logger, in a process of its own -------------------------------

ROOT_SCRIPT = r"""
import json, logging, log_main
out = []
for given in (None, "", "root"):
    before = log_main._LOGGERS.get("root")
    obj = log_main.VarnelLog(given)
    entry = log_main._LOGGERS["root"]
    out.append({
        "type": type(obj).__name__,
        "name": obj.name,
        "keys": list(entry),
        "is_obj": entry[1] is obj,
        "new_dict": entry is not before,
        "root_logger": obj._logger is logging.getLogger(),
        "in_loggerdict": "root" in logging.Logger.manager.loggerDict,
    })
print(json.dumps(out))
"""


def test_none_empty_and_root_all_configure_root_and_replace_its_entry():
    proc = run_python("-c", ROOT_SCRIPT, timeout=60)
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert len(out) == 3
    for item in out:
        assert item == {
            "type": "_SetLogger", "name": "root", "keys": [1], "is_obj": True,
            "new_dict": True, "root_logger": True, "in_loggerdict": False,
        }


WAIT_SCRIPT = r"""
import threading, time, uuid, log_main
name = f"t_{uuid.uuid4().hex}"
got = []
log_main._LOCK.acquire()
worker = threading.Thread(target=lambda: got.append(log_main.VarnelLog(name)))
worker.start()
ticks = 0
deadline = time.monotonic() + 0.3
while time.monotonic() < deadline:  # Python keeps running while the worker waits
    ticks += 1
    time.sleep(0.001)
waiting = worker.is_alive() and not got
log_main._LOCK.release()
worker.join(10)
print(ticks > 10, waiting, type(got[0]).__name__ if got else None)
"""


def test_a_call_waiting_for_the_lock_lets_other_threads_run():
    proc = run_python("-c", WAIT_SCRIPT, timeout=60)
    assert proc.stdout.split() == ["True", "True", "_SetLogger"]
