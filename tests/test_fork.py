"""A process that forks while another thread holds _LOCK: the child's factory still works.

A thread is parked, holding _LOCK, in three places: inside a file handler's
constructor (opening a FIFO that nobody reads yet), inside a captured handler's
close() during a take-over, and inside a handler's close() during close. A second
thread forks meanwhile, the parked one is let go once the fork began; the child
sees no half-done work and its first factory call and close must complete. The
parent gives the child a deadline and kills it if it is still waiting on the lock.
"""

import logging
import os
import signal
import threading
import time
import traceback
import warnings

from conftest import unique_name

import log_main
from log_main import VarnelLog

CHILD_DEADLINE = 10.0  # seconds; the child's work takes milliseconds
FORKING = threading.Event()
os.register_at_fork(before=FORKING.set)  # runs before log_main's hook, registered earlier


class BlockingClose(logging.StreamHandler):
    """A stream handler whose close() waits until the test unblocks it, while armed."""

    def __init__(self, armed=False):
        super().__init__(open(os.devnull, "w"))
        self.armed = armed
        self.entered, self.unblock = threading.Event(), threading.Event()

    def close(self):
        if self.armed:
            self.entered.set()
            self.unblock.wait(30)
        super().close()
        self.stream.close()


def wait_until(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


def child_body(tmp_path, lock_id):
    """Runs in the forked child; returns the exit status."""
    try:
        if id(log_main._LOCK) != lock_id:
            os.write(2, b"child: _LOCK was rebound to another object\n")
            return 4
        path = tmp_path / "child" / "child.log"
        obj = VarnelLog(unique_name(), file=str(path), console=False)
        obj.info("from the child")
        obj.close()
        if log_main._LOCK.locked():
            os.write(2, b"child: _LOCK still held after close\n")
            return 5
        for name, records in list(log_main._CAPTURES.items()):  # no take-over half done
            if any(h["type"] is BlockingClose for r in records.values() for h in r["handlers"]):
                log_main._LOGGERS[name][max(records) + 1].close()  # hands the handler back
                if not any(isinstance(h, BlockingClose) for h in logging.getLogger(name).handlers):
                    return 7
        if "from the child" not in path.read_text(encoding="utf-8"):
            os.write(2, b"child: the record is not in the file\n")
            return 6
        # A second round trip takes the lock again after close released it.
        again = VarnelLog(obj.name, rehandler=True, console=False)
        again.close()
        return 0
    except BaseException:
        os.write(2, traceback.format_exc().encode())
        return 3


def fork_and_check(tmp_path):
    """Forks now; the child runs child_body. Returns the child's exit status, or
    None when it was still running at the deadline (and has been killed)."""
    assert log_main._LOCK.locked(), "the parked thread should be holding _LOCK"
    lock_id = id(log_main._LOCK)
    with warnings.catch_warnings():
        # Forking a process with threads is the very situation under test.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # child: never return into pytest
        status = 1
        try:
            status = child_body(tmp_path, lock_id)
        finally:
            os._exit(status)
    end = time.monotonic() + CHILD_DEADLINE
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


def fork_on_a_second_thread(tmp_path, release):
    forker, result = run_parked(lambda: fork_and_check(tmp_path))
    assert FORKING.wait(10), "the second thread never began its fork"
    release()
    return finish(forker, result)


def run_parked(target):
    """Starts target in a thread and returns (thread, result dict)."""
    result = {}

    def body():
        try:
            result["value"] = target()
        except BaseException as exc:  # reported by the test
            result["error"] = exc

    t = threading.Thread(target=body, daemon=True)
    t.start()
    return t, result


def finish(thread, result):
    thread.join(20)
    assert not thread.is_alive(), "the parked thread did not finish once released"
    assert "error" not in result, result.get("error")
    assert not log_main._LOCK.locked()
    return result.get("value")


def test_fork_while_a_handler_constructor_blocks(tmp_path):
    fifo = tmp_path / "pipe.log"
    os.mkfifo(fifo)
    # Opening a FIFO for writing blocks until a reader opens it.
    thread, result = run_parked(lambda: VarnelLog(unique_name(), file=str(fifo), console=False))
    assert wait_until(log_main._LOCK.locked), "the factory never took _LOCK"
    time.sleep(0.05)  # let the thread reach open()
    reader = []  # opening it lets the open() return
    status = fork_on_a_second_thread(
        tmp_path, lambda: reader.append(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)))
    try:
        obj = finish(thread, result)
        obj.close()
    finally:
        os.close(reader[0])
    assert status is not None, "the child's first factory call deadlocked on _LOCK"
    assert status == 0


def test_fork_while_a_capture_closes_a_handler(tmp_path):
    name = unique_name()
    base = VarnelLog(name, console=False, file=str(tmp_path / "base.log"))
    blocker = BlockingClose(armed=True)
    logging.getLogger(name).addHandler(blocker)
    thread, result = run_parked(lambda: VarnelLog(name, rehandler=True, console=True))
    assert blocker.entered.wait(10), "the capture never reached the handler's close()"
    try:
        status = fork_on_a_second_thread(tmp_path, blocker.unblock.set)
    finally:
        blocker.unblock.set()
    top = finish(thread, result)
    top.close()
    base.close()
    assert status is not None, "the child's first factory call deadlocked on _LOCK"
    assert status == 0


def test_fork_while_close_closes_a_handler(tmp_path):
    name = unique_name()
    obj = VarnelLog(name, console=False, file=str(tmp_path / "own.log"))
    blocker = BlockingClose(armed=True)
    logging.getLogger(name).addHandler(blocker)
    thread, result = run_parked(obj.close)
    assert blocker.entered.wait(10), "close never reached the handler's close()"
    try:
        status = fork_on_a_second_thread(tmp_path, blocker.unblock.set)
    finally:
        blocker.unblock.set()
    finish(thread, result)
    assert name not in log_main._LOGGERS
    assert status is not None, "the child's first factory call deadlocked on _LOCK"
    assert status == 0


def test_fork_from_code_run_inside_the_factory():
    pids, name = [], unique_name()

    class ForkOnClose(logging.StreamHandler):
        def close(self):  # runs inside VarnelLog, on the thread that holds _LOCK
            super().close()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                if not pids:
                    pids.append(os.fork())

    logging.getLogger(name).addHandler(ForkOnClose())
    top = VarnelLog(name, rehandler=True)
    if pids[0] == 0:  # the child finishes the take-over as the parent does, then closes it
        try:
            top.close()
        finally:
            os._exit(3 if log_main._LOCK.locked() or name in log_main._CAPTURES else 0)
    top.close()
    assert os.waitstatus_to_exitcode(os.waitpid(pids[0], 0)[1]) == 0
