"""Typed use of the whole public surface of log_main.

`mypy --strict` must accept this file (tests/test_typing.py), and it also runs:
the test executes it, so what the stub promises here is what the module does.
"""

import logging
import os
import sys
import tempfile
from typing import Any, Dict, Optional, Tuple, assert_type

import log_main
from log_main import VarnelLog, _GetLogger, _LogBase, _SetLogger


def use(directory: str) -> None:
    path = os.path.join(directory, "logs", "typed.log")
    log = VarnelLog("typed.app", logging.INFO, path, "rotating", True, False,
                    maxBytes=1 << 20, backupCount=3, encoding="utf-8")
    assert_type(log, _LogBase)
    assert_type(log.name, str)
    assert_type(log.file, Optional[str])
    assert_type(log.handler_type, str)
    assert_type(log.file_level, int)
    assert_type(log.console_level, int)
    assert_type(log.kwargs, Dict[str, Any])
    assert_type(log._logger, Optional[logging.Logger])
    assert_type(log._file_handler, Optional[logging.FileHandler])

    assert_type(log.info("parts", 1, 2.5, None, ["any", "object"]), None)
    log.debug()
    log.warning("%s and %d", args=("format", 3))
    log.error("with keywords for Logger.log", kwargs={"stacklevel": 2})
    log.critical("both", args=(), kwargs={})
    try:
        raise ValueError("handled")
    except ValueError:
        log.exception("with its traceback", kwargs={"stacklevel": 2})
    with VarnelLog("typed.block", console=False) as block:
        assert_type(block, _LogBase)
    assert repr(block).endswith(" closed>")
    log.set_console_level(logging.WARNING)
    log.set_file_level(level=logging.ERROR)

    std = log._logger
    assert std is not None
    log.disable()
    log.enable(std)
    log.enable(value=std)

    again = VarnelLog(name="typed.app", rehandler=True, console=False)
    assert isinstance(again, _GetLogger)
    assert_type(again.rehandler, bool)
    again.close()
    log.close()

    root = VarnelLog(None, console=True)
    assert isinstance(root, _SetLogger)
    root.close()

    parts: Tuple[Any, ...] = ("direct", "call")
    direct = _SetLogger("typed.direct", file=None, handler_type="file", level=10)
    direct._log(logging.INFO, parts, None, None)
    direct.close()

    registry: Dict[str, Dict[int, _LogBase]] = log_main._LOGGERS
    files: Dict[str, str] = log_main._FHANDLERS
    captures: Dict[str, Dict[int, Dict[str, Any]]] = log_main._CAPTURES
    assert os.path.abspath(path) in files and "typed.app" not in registry
    assert "typed.app" not in captures
    with log_main._LOCK:
        pass
    assert_type(log_main._md5("text"), str)
    assert_type(log_main.__all__, list[str])
    f = log_main._ContextFilter("typed.filter")
    assert_type(f.filter(logging.makeLogRecord({})), bool)


if __name__ == "__main__":
    use(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="log_main-"))
    print("good_usage: ok")
