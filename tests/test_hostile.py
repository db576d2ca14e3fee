"""Hostile Python code around the factory and close: errors, never a crash or a hang."""

import faulthandler
import io
import logging
import threading

import pytest
from conftest import unique_name

import log_main
from log_main import VarnelLog

REENTRY = "not reentrant"


@pytest.fixture(autouse=True)
def watchdog():
    """A hang fails loudly instead of stalling the run."""
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    assert not log_main._LOCK.locked()


def test_reentry_from_code_run_under_the_lock_raises():
    name = unique_name("h")
    seen = []

    class CallsBack(logging.StreamHandler):
        def close(self):
            try:
                VarnelLog(unique_name("h"))
            except RuntimeError as exc:
                seen.append(str(exc))
            super().close()

    class Console:
        def __bool__(self):
            VarnelLog(unique_name("h"))
            return True

    base = VarnelLog(name, console=False)
    logging.getLogger(name).addHandler(CallsBack(io.StringIO()))
    top = VarnelLog(name, rehandler=True)  # detaching runs close(): its factory call raises
    assert len(seen) == 1 and REENTRY in seen[0]
    with pytest.raises(RuntimeError, match=REENTRY):
        VarnelLog(name, rehandler=True, console=Console())
    assert log_main._LOGGERS[name] == {1: base, 2: top}  # the failed call stacked nothing
    top.close()
    base.close()
    # Another thread is not this thread: it waits for the lock as before.
    t = threading.Thread(target=lambda: VarnelLog(unique_name("h")).close())
    t.start()
    t.join(10)
    assert not t.is_alive()


def test_malformed_handler_record_cannot_crash_close():
    name, out = unique_name("h"), io.StringIO()
    lib = logging.getLogger(name)
    lib.addHandler(logging.StreamHandler(out))
    obj = VarnelLog(name, rehandler=True)
    log_main._CAPTURES[name][0]["handlers"][0]["kwargs"] = 5
    log_main._CAPTURES[name][0]["handlers"].append("not a record")
    assert obj.close() is None  # the records are not read back: the handler returns
    lib.warning("still here")
    assert out.getvalue() == "still here\n"
    assert name not in log_main._CAPTURES and name not in log_main._LOGGERS


def test_handler_removed_by_its_owner_stays_removed():
    name = unique_name("h")
    lib = logging.getLogger(name)
    null = logging.NullHandler()  # never detached by a take-over
    lib.addHandler(null)
    obj = VarnelLog(name, rehandler=True)
    lib.removeHandler(null)
    assert obj.close() is None
    assert null not in lib.handlers and name not in log_main._CAPTURES
    assert VarnelLog(name, rehandler=True).close() is None  # the stack works on


@pytest.mark.parametrize("registry", ["_LOGGERS", "_CAPTURES"])
def test_broken_registry_entry_is_named_and_changes_nothing(registry):
    name = unique_name("h")
    base = VarnelLog(name)
    top = VarnelLog(name, rehandler=True)
    table = getattr(log_main, registry)
    kept = table[name]
    table[name] = [kept]
    try:
        with pytest.raises(TypeError, match=rf"{registry}\['{name}'\] must be a dict, not list"):
            top.close()
    finally:
        table[name] = kept
    top.close()
    assert log_main._LOGGERS[name] == {1: base} and base._logger is logging.getLogger(name)
    base.close()


def test_wrong_values_in_registries_are_named(tmp_path):
    name, path = unique_name("h"), str(tmp_path / "k.log")
    base = VarnelLog(name)
    top = VarnelLog(name, rehandler=True)
    log_main._LOGGERS[name][1] = "x"
    with pytest.raises(TypeError, match=rf"_LOGGERS\['{name}'\]\[1\] is not a logger object"):
        top.close()  # the stack is popped all the same
    assert log_main._LOGGERS[name] == {1: "x"} and name not in log_main._CAPTURES
    log_main._LOGGERS[name][1] = base
    base.close()
    log_main._FHANDLERS[path] = 5
    try:
        with pytest.raises(TypeError, match=r"_FHANDLERS\[.*\] must be a str, not int"):
            VarnelLog(unique_name("h"), file=path)
    finally:
        del log_main._FHANDLERS[path]
