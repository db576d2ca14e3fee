"""Type stub for the log_main extension module.

One call, VarnelLog(name, ...), returns a ready-to-use named logger that
writes coloured lines to the console and, when a file is given, to a log
file of kind "file", "rotating" or "timerotating".

The stub mirrors the module exactly: the names it binds, the classes and
every method with its real parameter names, kinds and defaults (checked by
``python -m mypy.stubtest log_main``).
"""

# The module binds these imports in its own namespace (log_main.logging,
# log_main.Lock, ...); the `import x as x` form re-exports them, as the module does.
import hashlib as hashlib
import logging as logging
import os as os
import uuid as uuid
from logging.handlers import RotatingFileHandler as RotatingFileHandler
from logging.handlers import TimedRotatingFileHandler as TimedRotatingFileHandler
from threading import Lock as Lock
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Tuple as Tuple

import colorlog as colorlog

# Not bound by the module; used in annotations only (hidden from importers).
from types import TracebackType
from typing import TextIO

__all__ = ["VarnelLog"]

# Record format of every file handler.
_fformatter: str
# Record format of the coloured console handler (%(log_color)s is colorlog's).
_cformatter: str
# Level name -> colorlog colour name(s), e.g. "bold_red,bg_white".
_colors: Dict[str, str]

# Logger name -> {stack position -> logger object}; position 1 is the object the
# factory configured or the first take-over of a name without a stack, each
# take-over (rehandler=True) sits one position above the top.
_LOGGERS: Dict[str, Dict[int, _LogBase]]
# Absolute normalised log-file path -> handler kind ("file", "rotating", "timerotating").
_FHANDLERS: Dict[str, str]
# Captured logger name -> {stack position -> capture record}; a capture record is
# {"handlers": [handler record, ...], "handler_ids": [id, ...]}, at position 0
# also the logger's own "level", "propagate" and "disabled".
_CAPTURES: Dict[str, Dict[int, Dict[str, Any]]]
# The module's only lock: held by the factory and by close(), by nothing else.
_LOCK: Lock

def _md5(text: str) -> str:
    """MD5 of the UTF-8 encoding of text, as 32 lowercase hexadecimal digits."""

class _ContextFilter(logging.Filter):
    """Accepts every record and stamps the owner's logger name into it."""

    _logger_name: str
    def __init__(self, logger_name: str) -> None: ...
    def filter(self, record: logging.LogRecord) -> bool: ...

class _LogBase:
    """The logger object that VarnelLog returns (a _SetLogger or a _GetLogger)."""

    # Name of the logging logger written through (a child name "<name>.<uuid4>"
    # for a capturing object made without rehandler).
    name: str
    # Absolute normalised path of the log file, or None for no file output.
    file: Optional[str]
    # "file", "rotating" or "timerotating".
    handler_type: str
    # Level of the file handler.
    file_level: int
    # Whether a console handler was wanted (truth value).
    console: bool
    # Level of the console handler.
    console_level: int
    # Extra keyword arguments of the factory: options of the file handler.
    kwargs: Dict[str, Any]
    # The logging logger records go through; None while disabled.
    _logger: Optional[logging.Logger]
    # logging.FileHandler, RotatingFileHandler or TimedRotatingFileHandler.
    _file_handler: Optional[logging.FileHandler]
    # The colorlog.StreamHandler (logging.StreamHandler) on standard error.
    _console_handler: Optional[logging.StreamHandler[TextIO]]
    # The filter shared by both handlers.
    _handler_filter: Optional[_ContextFilter]
    def __init__(self) -> None: ...
    def _create_console_handler(self) -> None: ...
    def _create_file_handler(self) -> None: ...
    def disable(self) -> None:
        """Stop emitting through this object (its handlers stay attached)."""

    def enable(self, value: logging.Logger) -> None:
        """Emit through the given logging logger again."""

    def close(self) -> None:
        """Close the top object of this name: its handlers are removed and closed."""

    def set_console_level(self, level: int) -> None:
        """Set the console handler's level (the logging logger follows the lowest output level)."""

    def set_file_level(self, level: int) -> None:
        """Set the file handler's level (the logging logger follows the lowest output level)."""

    def _log(
        self,
        level: int,
        message: Tuple[Any, ...],
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None: ...
    def debug(
        self,
        *message: Any,
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None:
        """Log the str() of the parts, joined by spaces, at DEBUG."""

    def info(
        self,
        *message: Any,
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None:
        """Log the str() of the parts, joined by spaces, at INFO."""

    def warning(
        self,
        *message: Any,
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None:
        """Log the str() of the parts, joined by spaces, at WARNING."""

    def error(
        self,
        *message: Any,
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None:
        """Log the str() of the parts, joined by spaces, at ERROR."""

    def critical(
        self,
        *message: Any,
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None:
        """Log the str() of the parts, joined by spaces, at CRITICAL."""

    def exception(
        self,
        *message: Any,
        args: Optional[Tuple[Any, ...]] = None,
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> None:
        """Log at ERROR with the exception being handled (exc_info=True unless kwargs give it)."""

    def __enter__(self) -> _LogBase:
        """The object itself."""

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """Call self.close(); the block's exception, if any, goes on."""

    def __repr__(self) -> str:
        """Class, name, file and kind, the two levels, and " closed" or " disabled"."""

class VarnelLog:
    """The factory: calling it returns a logger object, never a VarnelLog.

    A name new to logging gets a _SetLogger, a known name a _GetLogger.
    The extra keywords are file-handler options (encoding, mode, maxBytes,
    backupCount, when, interval); others are ignored.
    """

    # mypy wants __new__ to return a subtype of the class; this one does not,
    # and mypy still takes the declared type as the type of VarnelLog(...).
    def __new__(  # type: ignore[misc]
        cls,
        name: Optional[str],
        level: int = 10,
        file: Optional[str] = None,
        handler_type: str = "file",
        console: bool = True,
        rehandler: bool = False,
        **kwargs: Any,
    ) -> _LogBase: ...

class _SetLogger(_LogBase):
    """Logger object for a name new to logging: configures that logger."""

    def __init__(
        self,
        name: str,
        level: int = 10,
        file: Optional[str] = None,
        handler_type: str = "file",
        console: bool = True,
        **kwargs: Any,
    ) -> None: ...
    def _setup_logger(self) -> None: ...

class _GetLogger(_LogBase):
    """Logger object for a known name: a fresh child logger, or (rehandler) a take-over."""

    rehandler: bool
    def __init__(
        self,
        name: str,
        level: int = 10,
        file: Optional[str] = None,
        handler_type: str = "file",
        console: bool = True,
        rehandler: bool = False,
        **kwargs: Any,
    ) -> None: ...
    def _captures_logger(self) -> None: ...
