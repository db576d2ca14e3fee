"""File handlers of the three kinds, rotated-file naming, and the configuring logger."""

import datetime
import io
import logging
import logging.handlers
import ntpath
import os
import re
import time
import types

import pytest
from conftest import close_handlers, record_line, uncoloured

import log_main

KINDS = ["file", "rotating", "timerotating"]


def norm(path):
    return os.path.normpath(os.path.abspath(str(path)))


def unknown_kind_message(kind):
    return f"{kind} 不是有效的处理器类型，可选值 [file, rotating, timerotating]"


# ---------------------------------------------------------------- kinds and options


def test_file_kind_defaults(tmp_path, fresh_name):
    path = tmp_path / "plain.log"
    obj = log_main._SetLogger(fresh_name(), file=str(path))
    h = obj._file_handler
    assert type(h) is logging.FileHandler
    assert h.baseFilename == norm(path)
    assert (h.encoding, h.mode) == ("utf-8", "a")
    assert h in obj._logger.handlers and obj._console_handler in obj._logger.handlers
    assert log_main._FHANDLERS[norm(path)] == "file"
    obj.close()


def test_file_kind_overrides(tmp_path, fresh_name, read_records):
    path = tmp_path / "over.log"
    path.write_text("old content\n", encoding="utf-8")
    name = fresh_name()
    obj = log_main._SetLogger(name, file=str(path), encoding="latin-1", mode="w", console=False)
    h = obj._file_handler
    assert (h.encoding, h.mode) == ("latin-1", "w")
    obj.info("fresh")
    obj.close()
    # mode "w" truncated the earlier content
    assert read_records(path) == [(name, "INFO", "fresh")]


def test_rotating_defaults(tmp_path, fresh_name):
    path = tmp_path / "rot.log"
    obj = log_main._SetLogger(fresh_name(), file=str(path), handler_type="rotating")
    h = obj._file_handler
    assert type(h) is logging.handlers.RotatingFileHandler
    assert h.baseFilename == norm(path)
    assert (h.encoding, h.mode, h.maxBytes, h.backupCount) == ("utf-8", "a", 100 * 1024 * 1024, 100)
    assert h.namer is None
    assert log_main._FHANDLERS[norm(path)] == "rotating"
    obj.close()


def test_rotating_overrides(tmp_path, fresh_name, read_records):
    path = tmp_path / "rot.log"
    path.write_text("stale\n", encoding="utf-8")
    name = fresh_name()
    # maxBytes 0: the library keeps the given mode (it forces "a" for any positive maxBytes)
    obj = log_main._SetLogger(name, file=str(path), handler_type="rotating", console=False,
                              encoding="latin-1", mode="w", maxBytes=0, backupCount=3)
    h = obj._file_handler
    assert (h.encoding, h.mode, h.maxBytes, h.backupCount) == ("latin-1", "w", 0, 3)
    obj.info("new")
    obj.close()
    assert read_records(path) == [(name, "INFO", "new")]


def test_timerotating_defaults(tmp_path, fresh_name):
    path = tmp_path / "timed.log"
    obj = log_main._SetLogger(fresh_name(), file=str(path), handler_type="timerotating")
    other = log_main._SetLogger(fresh_name(), file=str(tmp_path / "t2.log"), handler_type="timerotating")
    h = obj._file_handler
    assert type(h) is logging.handlers.TimedRotatingFileHandler
    assert h.baseFilename == norm(path)
    assert (h.encoding, h.when, h.interval, h.backupCount) == ("utf-8", "MIDNIGHT", 24 * 3600, 365)
    assert callable(h.namer) and h.namer is not other._file_handler.namer
    assert log_main._FHANDLERS[norm(path)] == "timerotating"
    obj.close()
    other.close()


def test_timerotating_overrides_and_mode_ignored(tmp_path, fresh_name):
    path = tmp_path / "timed.log"
    path.write_text("kept\n", encoding="utf-8")
    obj = log_main._SetLogger(fresh_name(), file=str(path), handler_type="timerotating",
                              when="h", interval=2, backupCount=5, encoding="latin-1", mode="w")
    h = obj._file_handler
    assert (h.when, h.interval, h.backupCount, h.encoding) == ("H", 2 * 3600, 5, "latin-1")
    assert h.mode == "a"
    obj.close()
    assert path.read_text(encoding="utf-8") == "kept\n"


@pytest.mark.parametrize("kind", KINDS)
def test_delay_has_no_effect(tmp_path, fresh_name, kind):
    path = tmp_path / "d.log"
    obj = log_main._SetLogger(fresh_name(), file=str(path), handler_type=kind, delay=True)
    assert obj._file_handler.stream is not None
    assert path.is_file()
    assert obj.kwargs == {"delay": True}
    obj.close()


@pytest.mark.parametrize("kind", KINDS)
def test_nested_directories_created(tmp_path, fresh_name, kind):
    path = tmp_path / "a" / "b" / "c" / "deep.log"
    obj = log_main._SetLogger(fresh_name(), file=str(path), handler_type=kind)
    assert path.is_file()
    assert obj._file_handler.baseFilename == norm(path)
    obj.close()


def _probe_class(fail):
    """A _SetLogger whose logging logger is wrapped to watch the file handler's attachment."""

    class Probe(log_main._SetLogger):
        def _create_console_handler(self):
            super()._create_console_handler()
            real = self._logger
            probe = self

            class Wrapper:
                __getattr__ = lambda self, attr: getattr(real, attr)  # noqa: E731
                def addHandler(self, h):
                    probe.seen.append((type(h), dict(log_main._FHANDLERS).get(probe.file)))
                    if fail:
                        fail.append(h)
                        raise RuntimeError("attach refused")
                    real.addHandler(h)

            self.seen = []
            self.real = real
            self._logger = Wrapper()

    return Probe


def test_registry_written_after_attach(tmp_path, fresh_name):
    path = tmp_path / "order.log"
    obj = _probe_class(fail=None)(fresh_name(), file=str(path), console=False)
    assert obj.seen == [(logging.FileHandler, None)]
    assert log_main._FHANDLERS[norm(path)] == "file"
    obj._logger = obj.real
    obj.close()


def test_failed_attach_leaves_no_entry(tmp_path, fresh_name):
    path = tmp_path / "refused.log"
    refused = [None]
    with pytest.raises(RuntimeError, match="attach refused"):
        _probe_class(fail=refused)(fresh_name(), file=str(path), console=False)
    assert norm(path) not in log_main._FHANDLERS
    # the handler was fully built (file open) before the attach failed
    assert isinstance(refused[1], logging.FileHandler) and refused[1].stream is not None
    refused[1].close()


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize("kind", ["File", "timed"])
def test_unknown_kind(tmp_path, fresh_name, kind):
    path = tmp_path / "sub" / "x.log"
    name = fresh_name()
    with pytest.raises(ValueError) as ei:
        log_main._SetLogger(name, file=str(path), handler_type=kind)
    assert str(ei.value) == unknown_kind_message(kind)
    assert path.parent.is_dir() and not path.exists()
    assert norm(path) not in log_main._FHANDLERS
    # the console handler attached before the file builder refused the kind is gone again
    assert logging.getLogger(name).handlers == []
    close_handlers(logging.getLogger(name))  # whatever a refused construction left there


@pytest.mark.parametrize("below", [("x.log",), ("sub", "x.log")])
def test_path_under_regular_file(tmp_path, fresh_name, below):
    blocker = tmp_path / "blocker"
    blocker.write_text("", encoding="utf-8")
    path = blocker.joinpath(*below)
    name = fresh_name()
    with pytest.raises((NotADirectoryError, FileExistsError)):
        log_main._SetLogger(name, file=str(path), console=False)
    assert norm(path) not in log_main._FHANDLERS
    assert logging.getLogger(name).handlers == []


# The library opens the file before it validates `when` and drops the open stream.
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_invalid_when(tmp_path, fresh_name):
    path = tmp_path / "w.log"
    name = fresh_name()
    with pytest.raises(ValueError, match="Invalid rollover interval"):
        log_main._SetLogger(name, file=str(path), handler_type="timerotating", when="fortnight",
                            console=False)
    assert norm(path) not in log_main._FHANDLERS
    assert logging.getLogger(name).handlers == []


# ---------------------------------------------------------------- rotated-file naming


@pytest.fixture
def timed_in_dotlog_dir(tmp_path, fresh_name):
    d = tmp_path / "my.logs"
    name = fresh_name()
    obj = log_main._SetLogger(name, file=str(d / "run.log"), handler_type="timerotating",
                              console=False, backupCount=2)
    yield name, d, obj
    obj.close()


@pytest.mark.parametrize("given, expected", [
    ("/srv/app/run.log.2024-05-01", "/srv/app/run.2024-05-01.log"),
    ("/srv/my.logs/run.log.2024-05-01", "/srv/my.logs/run.2024-05-01.log"),
    ("/srv/app/run.txt.2024-05-01", "/srv/app/run.txt.2024-05-01.log"),
    ("/a.log/b.log/x.log.y.log.2024-05-01", "/a.log/b.log/x.y.2024-05-01.log"),
])
def test_namer_edits_only_base_name(timed_in_dotlog_dir, given, expected):
    _, _, obj = timed_in_dotlog_dir
    assert obj._file_handler.namer(given) == expected


def test_namer_splits_paths_as_os_path_does(timed_in_dotlog_dir, monkeypatch):
    monkeypatch.setattr(log_main, "os", types.SimpleNamespace(path=ntpath))  # as on Windows
    namer = timed_in_dotlog_dir[2]._file_handler.namer
    assert namer(r"C:\srv\my.logs\run.log.2024-05-01") == r"C:\srv\my.logs\run.2024-05-01.log"


# A period that began at noon on 2024-05-01, local time: its rotated name carries that date.
PERIOD_START = int(time.mktime((2024, 5, 1, 12, 0, 0, 0, 0, -1)))


def test_rollover_on_emit_in_dotlog_dir(timed_in_dotlog_dir, read_records):
    name, d, obj = timed_in_dotlog_dir
    h = obj._file_handler
    obj.info("before")
    h.rolloverAt = PERIOD_START + h.interval  # in the past: the next record rolls over
    obj.info("after")
    h.flush()
    assert sorted(os.listdir(d)) == ["run.2024-05-01.log", "run.log"]
    assert read_records(d / "run.2024-05-01.log") == [(name, "INFO", "before")]
    assert read_records(d / "run.log") == [(name, "INFO", "after")]


def test_do_rollover_in_dotlog_dir(timed_in_dotlog_dir, read_records):
    name, d, obj = timed_in_dotlog_dir
    h = obj._file_handler
    obj.warning("only")
    h.rolloverAt = PERIOD_START + h.interval
    h.doRollover()
    assert sorted(os.listdir(d)) == ["run.2024-05-01.log", "run.log"]
    assert read_records(d / "run.2024-05-01.log") == [(name, "WARNING", "only")]
    assert (d / "run.log").read_text(encoding="utf-8") == ""


def test_backup_pruning_finds_renamed_files(timed_in_dotlog_dir):
    _, d, obj = timed_in_dotlog_dir
    h = obj._file_handler
    assert h.backupCount == 2
    days = [datetime.date(2024, 5, 1) + datetime.timedelta(days=i) for i in range(4)]
    stamps = [day.strftime(h.suffix) for day in days]
    assert all(h.extMatch.fullmatch(s) for s in stamps)
    for s in stamps:
        (d / f"run.{s}.log").write_text("x\n", encoding="utf-8")
    # names this handler never produces: the library's own name and another base name
    (d / "run.log.2024-04-01").write_text("x\n", encoding="utf-8")
    (d / "other.2024-04-01.log").write_text("x\n", encoding="utf-8")
    folder = os.path.dirname(h.baseFilename)
    assert h.getFilesToDelete() == [os.path.join(folder, f"run.{s}.log") for s in stamps[:2]]


# ---------------------------------------------------------------- configuring logger guards


def test_known_name_refused(fresh_name):
    name = fresh_name()
    logging.getLogger(name)
    with pytest.raises(ValueError) as ei:
        log_main._SetLogger(name)
    assert str(ei.value) == f"{name} 已存在"


def test_kind_guard_with_two_spellings(tmp_path, fresh_name, monkeypatch):
    monkeypatch.chdir(tmp_path)
    first = log_main._SetLogger(fresh_name(), file="logs/a.log", console=False)
    p = os.path.join(os.getcwd(), "logs", "a.log")
    assert first.file == p
    second = fresh_name()
    with pytest.raises(ValueError) as ei:
        log_main._SetLogger(second, file="./logs/../logs/a.log", handler_type="rotating")
    assert str(ei.value) == ("处理器冲突：日志文件 " + p + " 新增处理器类型 " + "rotating"
                             + " 与已有处理器类型 " + "file" + " 冲突")
    assert second not in logging.Logger.manager.loggerDict
    assert log_main._FHANDLERS[p] == "file"
    first.close()


def test_same_kind_accepted(tmp_path, fresh_name, read_records, monkeypatch):
    monkeypatch.chdir(tmp_path)
    n1, n2 = fresh_name(), fresh_name()
    a = log_main._SetLogger(n1, file="logs/s.log", handler_type="rotating", console=False)
    b = log_main._SetLogger(n2, file="./logs/../logs/s.log", handler_type="rotating", console=False)
    assert a._file_handler is not b._file_handler
    a.info("from a")
    b.info("from b")
    a.close()
    b.close()
    assert read_records(tmp_path / "logs" / "s.log") == [(n1, "INFO", "from a"), (n2, "INFO", "from b")]
    assert log_main._FHANDLERS[str(tmp_path / "logs" / "s.log")] == "rotating"


@pytest.mark.parametrize("file", [None, ""])
def test_console_forced_without_file(fresh_name, file):
    obj = log_main._SetLogger(fresh_name(), file=file, console=False)
    assert obj.console is True and obj.file is None and obj._file_handler is None
    assert obj._logger.handlers == [obj._console_handler]
    obj.close()


def test_relative_path_stored_absolute(tmp_path, fresh_name, monkeypatch):
    monkeypatch.chdir(tmp_path)
    obj = log_main._SetLogger(fresh_name(), file="x/./y/../z.log", console=0)
    expected = os.path.join(os.getcwd(), "x", "z.log")
    assert obj.file == expected and obj._file_handler.baseFilename == expected
    assert obj.console == 0 and obj._console_handler is None
    obj.close()


def test_logger_level_and_propagate(tmp_path, fresh_name):
    obj = log_main._SetLogger(fresh_name(), level=logging.ERROR, file=str(tmp_path / "l.log"))
    assert obj._logger.level == logging.ERROR and obj._logger.propagate is False
    assert obj._console_handler.level == logging.ERROR == obj._file_handler.level
    assert (obj.file_level, obj.console_level) == (logging.ERROR, logging.ERROR)
    obj.close()


# ---------------------------------------------------------------- lines written


def test_exact_lines_in_file_and_console(tmp_path, fresh_name, read_records):
    path = tmp_path / "lines.log"
    name = fresh_name()
    obj = log_main._SetLogger(name, file=str(path))
    console = io.StringIO()
    obj._console_handler.setStream(console)
    obj.info("first line")
    obj.debug("d")
    obj.warning("w", 2)
    obj.error("e")
    obj.critical("c")
    obj.close()
    expected = [(name, "INFO", "first line"), (name, "DEBUG", "d"), (name, "WARNING", "w 2"),
                (name, "ERROR", "e"), (name, "CRITICAL", "c")]
    assert read_records(path) == expected
    file_lines = path.read_text(encoding="utf-8").splitlines()
    assert re.match("^" + record_line(re.escape(name), "INFO", "first line") + "$", file_lines[0])
    console_lines = uncoloured(console.getvalue()).splitlines()
    assert console_lines == file_lines
    assert "\x1b[" in console.getvalue()  # the console output is coloured
