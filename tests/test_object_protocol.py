"""exception() in an except block, the logger object as a context manager, and its repr()."""

import io
import logging

import pytest
from conftest import logger_state

from log_main import VarnelLog


def test_exception_writes_the_traceback_being_handled(tmp_path, fresh_name):
    path = tmp_path / "exc.log"
    log = VarnelLog(fresh_name(), file=str(path), console=False)
    try:
        {}["missing"]
    except KeyError:
        log.exception("lookup failed", 7)
        log.exception("caller's choice", kwargs={"exc_info": False})
    log.close()
    lines = path.read_text(encoding="utf-8").splitlines()
    assert lines[0].endswith(" - ERROR - lookup failed 7")
    assert lines[1] == "Traceback (most recent call last):" and lines[-2] == "KeyError: 'missing'"
    assert lines[-1].endswith(" - ERROR - caller's choice")


@pytest.mark.parametrize("close_raises", [False, True])
def test_a_with_block_hands_the_library_back_however_it_ends(close_raises, fresh_name):
    name = fresh_name()
    lib = logging.getLogger(name)
    lib.setLevel(logging.WARNING)
    own = logging.StreamHandler(io.StringIO())
    lib.addHandler(own)
    with pytest.raises(RuntimeError if close_raises else ZeroDivisionError) as caught:
        with VarnelLog(name, rehandler=True, console=True) as log:
            assert lib.handlers == [log._console_handler] and lib.level == logging.DEBUG
            if close_raises:  # __exit__ calls close() as the object has it
                def close():
                    type(log).close(log)
                    raise RuntimeError("close failed")
                log.close = close
            1 / 0
    if close_raises:
        assert isinstance(caught.value.__context__, ZeroDivisionError)
    assert logger_state(name) == (logging.WARNING, True, False, [own])


def test_repr_says_what_the_object_is(tmp_path, fresh_name):
    name, path = fresh_name(), str(tmp_path / "r.log")
    configuring = VarnelLog(name, level=logging.INFO, file=path, handler_type="rotating",
                            console=False)
    configuring.set_file_level(25)  # a level without a name shows as its number
    shown = f"<_SetLogger {name!r} file={path!r} (rotating) console_level=INFO file_level=25"
    capturing = VarnelLog(name, rehandler=True, console=False)  # silences configuring
    captured = f"<_GetLogger {name!r} file=None console_level=DEBUG file_level=DEBUG"
    assert (repr(configuring), repr(capturing)) == (shown + " disabled>", captured + ">")
    configuring.close()  # closes the top of the name's stack: capturing
    assert (repr(configuring), repr(capturing)) == (shown + ">", captured + " closed>")
    configuring.close()
    assert repr(configuring) == shown + " closed>"
