"""Level methods, message composition, swallowing rules and run-time level control."""

import io
import logging
import sys

import pytest
from conftest import uncoloured

import log_main

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class Out:
    """A configured logger whose file and console output the test can read back."""

    def __init__(self, name, path, read_records, **kw):
        self.name, self.path, self._read = name, path, read_records
        self.obj = log_main._SetLogger(name, file=str(path), **kw)
        self.console = io.StringIO()
        self.obj._console_handler.setStream(self.console)

    def file_messages(self, level="INFO"):
        self.obj._file_handler.flush()
        recs = self._read(self.path)
        assert all(n == self.name and lv == level for n, lv, _ in recs), recs
        return [m for _, _, m in recs]

    def console_lines(self):
        return self.console.getvalue().splitlines()


@pytest.fixture
def out(tmp_path, fresh_name, read_records):
    o = Out(fresh_name(), tmp_path / "calls.log", read_records)
    yield o
    o.obj.close()


class Exploding:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


class NotText:
    def __str__(self):
        return 5


class Counting:
    calls = 0

    def __str__(self):
        Counting.calls += 1
        return "counted"


# ---------------------------------------------------------------- levels per output


def test_console_level_affects_console_only(out):
    out.obj.set_console_level(logging.WARNING)
    assert out.obj.console_level == logging.WARNING
    assert out.obj._console_handler.level == logging.WARNING
    assert out.obj._file_handler.level == logging.DEBUG and out.obj.file_level == logging.DEBUG
    out.obj.info("quiet on console")
    out.obj.warning("loud")
    assert len(out.console_lines()) == 1 and "loud" in out.console_lines()[0]
    recs = out._read(out.path)
    assert [(lv, m) for _, lv, m in recs] == [("INFO", "quiet on console"), ("WARNING", "loud")]


def test_file_level_affects_file_only(out):
    out.obj.set_file_level(logging.ERROR)
    assert (out.obj.file_level, out.obj._file_handler.level) == (logging.ERROR, logging.ERROR)
    assert out.obj._console_handler.level == logging.DEBUG
    out.obj.warning("console only")
    out.obj.error("both")
    assert out.file_messages("ERROR") == ["both"]
    assert len(out.console_lines()) == 2


def test_file_level_stored_without_handler(fresh_name):
    obj = log_main._SetLogger(fresh_name())
    obj.set_file_level(40)
    assert obj.file_level == 40 and obj._file_handler is None
    assert obj._console_handler.level == logging.DEBUG
    obj.close()


@pytest.mark.parametrize("method, attr, handler", [
    ("set_file_level", "file_level", "_file_handler"),
    ("set_console_level", "console_level", "_console_handler"),
])
def test_level_setters_refuse_bool(out, method, attr, handler):
    with pytest.raises(TypeError) as ei:
        getattr(out.obj, method)(True)
    assert str(ei.value) == TYPE_MSG.format("level", "int", "bool")
    assert getattr(out.obj, attr) == logging.DEBUG
    assert getattr(out.obj, handler).level == logging.DEBUG


def has_level_handler(logger):
    """werkzeug's and Flask's check before they add a stderr handler of their own."""
    level = logger.getEffectiveLevel()
    while logger:
        if any(h.level <= level for h in logger.handlers):
            return True
        logger = logger.parent if logger.propagate else None
    return False


def test_a_library_does_its_debug_work_only_when_an_output_writes_debug(new_name, tmp_path):
    name = new_name()
    obj = log_main.VarnelLog(name, file=str(tmp_path / "a.log"), level=logging.INFO)
    lib = logging.getLogger(name + ".db")  # a library module that asks before costly work
    asked = [lib.isEnabledFor(logging.DEBUG)]
    for output, level in (("file", 10), ("file", 20), ("console", 10), ("console", 30)):
        getattr(obj, f"set_{output}_level")(level)
        asked.append(lib.isEnabledFor(logging.DEBUG))
    top = log_main.VarnelLog(name, rehandler=True)  # at DEBUG, over obj's outputs
    asked.append(lib.isEnabledFor(logging.DEBUG))
    top.close()  # obj's outputs are back: the file at INFO, the console at WARNING
    asked.append(lib.isEnabledFor(logging.DEBUG))
    assert asked == [False, True, False, True, False, True, False]
    obj.close()


@pytest.mark.parametrize("made_first", [False, True])
def test_werkzeug_finds_a_handler_at_its_level_and_adds_none(new_name, tmp_path, made_first):
    name = new_name()
    if made_first:
        logging.getLogger(name)
    obj = log_main.VarnelLog(name, file=str(tmp_path / "w.log"), level=logging.INFO,
                             rehandler=made_first)
    assert has_level_handler(logging.getLogger(name))
    obj.close()


def test_a_level_below_debug_reaches_the_file(new_name, tmp_path, read_records):
    name, path = new_name(), tmp_path / "fine.log"
    obj = log_main.VarnelLog(name, file=str(path), level=5, console=False)
    logging.getLogger(name).log(5, "fine detail")
    obj.close()
    assert read_records(path) == [(name, "Level 5", "fine detail")]


# ---------------------------------------------------------------- disable / enable


def test_disable_stops_object_not_handlers(out):
    std = out.obj._logger
    assert out.obj.disable() is None and out.obj._logger is None
    assert out.obj.info("dropped") is None
    logging.getLogger(out.name).info("direct")
    assert out.file_messages() == ["direct"]
    assert len(out.console_lines()) == 1 and out.console_lines()[0].endswith("direct\x1b[0m")
    out.obj.enable(std)
    out.obj.info("back")
    assert out.file_messages() == ["direct", "back"]


def test_enable_none_is_disable(out):
    out.obj.enable(None)
    assert out.obj._logger is None
    out.obj.error("nothing")
    assert out.file_messages() == [] and out.console_lines() == []


def test_disabled_does_not_convert_parts(out):
    Counting.calls = 0
    out.obj.info(Counting())
    assert Counting.calls == 1
    out.obj.disable()
    for m in ("debug", "info", "warning", "error", "critical"):
        assert getattr(out.obj, m)(Counting(), Exploding(KeyboardInterrupt())) is None
    assert Counting.calls == 1
    assert out.file_messages() == ["counted"]


# ---------------------------------------------------------------- composition


class Shout(str):
    def __str__(self):
        return "SHOUT"


@pytest.mark.parametrize("parts, text", [
    (("ab", 1, None), "ab 1 None"),
    ((), ""),
    (("ab", (1,)), "ab (1,)"),
    (("solo",), "solo"),
    (("a", "", "b"), "a  b"),
    ((Shout("quiet"), "x"), "SHOUT x"),
    (("100%",), "100%"),
    (("%s %d",), "%s %d"),
])
def test_composition(out, parts, text):
    assert out.obj.info(*parts) is None
    assert out.file_messages() == [text]


def test_percent_args_substitution(out):
    out.obj.info("x=%s y=%d", args=("a", 3))
    out.obj.info("x=%s", "tail", args=(7,))
    assert out.file_messages() == ["x=a y=3", "x=7 tail"]


def test_kwargs_none_and_empty_dict_alike(out):
    out.obj.info("p", kwargs=None)
    out.obj.info("p", kwargs={})
    assert out.file_messages() == ["p", "p"]


def test_very_large_part_written_whole(out):
    big = "x" * 10**6
    out.obj.info(big, 1)
    assert out.file_messages() == [big + " 1"]


# ---------------------------------------------------------------- swallowing rules


@pytest.mark.parametrize("bad", [Exploding(ValueError("no")), NotText()], ids=["raises", "non-str"])
def test_failing_part_swallowed(out, bad):
    assert out.obj.info("before", bad, "after") is None
    assert out.file_messages() == [] and out.console_lines() == []
    out.obj.info("still works")
    assert out.file_messages() == ["still works"]


@pytest.mark.parametrize("kw", [{"level": 5}, {"msg": "x"}, {"bogus": 1}])
def test_refused_log_keywords_swallowed(out, kw):
    assert out.obj.info("text", kwargs=kw) is None
    assert out.file_messages() == [] and out.console_lines() == []


def test_keyboard_interrupt_propagates(out):
    with pytest.raises(KeyboardInterrupt):
        out.obj.info("x", Exploding(KeyboardInterrupt()))
    assert out.file_messages() == []


def test_handled_exception_left_untouched(out):
    try:
        raise LookupError("outer")
    except LookupError as outer:
        out.obj.info(Exploding(ValueError("inner")))
        assert sys.exc_info()[1] is outer
        out.obj.info("fine")
        assert sys.exc_info()[1] is outer
    out.obj.info(Exploding(ValueError("inner")))
    assert sys.exc_info() == (None, None, None)
    assert out.file_messages() == ["fine"]


def test_exc_info_writes_traceback(out):
    try:
        raise RuntimeError("boom here")
    except RuntimeError:
        out.obj.error("failed", kwargs={"exc_info": True})
    out.obj._file_handler.flush()
    # The console's colorlog formatter formats first and caches a coloured traceback in
    # the record (record.exc_text); the file handler reuses that text, so strip the colours.
    lines = uncoloured(out.path.read_text(encoding="utf-8")).splitlines()
    assert lines[0].endswith(f" - {out.name} - ERROR - failed")
    assert lines[1] == "Traceback (most recent call last):"
    assert lines[-1] == "RuntimeError: boom here"


def test_stacklevel_accepted(out):
    out.obj.info("s", kwargs={"stacklevel": 1})
    assert out.file_messages() == ["s"]


@pytest.mark.parametrize("call, msg", [
    (lambda o: o.info("x", args=[1]), TYPE_MSG.format("args", "tuple", "list")),
    (lambda o: o.warning("x", kwargs=[("a", 1)]), TYPE_MSG.format("kwargs", "dict", "list")),
    (lambda o: o._log(True, ("x",)), TYPE_MSG.format("level", "int", "bool")),
    (lambda o: o._log(20, ["x"]), TYPE_MSG.format("message", "tuple", "list")),
    (lambda o: o._log(20, ("x",), None, {"a": 1}.items()), TYPE_MSG.format("kwargs", "dict", "dict_items")),
])
def test_argument_type_errors(out, call, msg):
    with pytest.raises(TypeError) as ei:
        call(out.obj)
    assert str(ei.value) == msg
    assert out.file_messages() == []


def test_bool_level_carries_note(out):
    with pytest.raises(TypeError) as ei:
        out.obj._log(True, ("x",))
    assert len(getattr(ei.value, "__notes__", [])) == 1


# ---------------------------------------------------------------- level methods reach _log


class Recorder(log_main._SetLogger):
    def _log(self, level, message, args=None, kwargs=None):
        self.calls.append((level, message, args, kwargs))
        return "ignored"


@pytest.fixture
def recorder(fresh_name):
    r = Recorder(fresh_name())
    r.calls = []
    yield r
    r.close()


@pytest.mark.parametrize("method", ["debug", "info", "warning", "error", "critical"])
def test_level_method_uses_overridden_log(recorder, method):
    args, kw = (2,), {"stacklevel": 1}
    assert getattr(recorder, method)("a", 1, args=args, kwargs=kw) is None
    ((level, message, got_args, got_kw),) = recorder.calls
    assert level == getattr(logging, method.upper())
    assert message == ("a", 1) and type(message) is tuple
    assert got_args is args and got_kw is kw
    getattr(recorder, method)()
    assert recorder.calls[1] == (level, (), None, None)


def test_level_read_at_call_time(recorder, out):
    saved = logging.INFO
    try:
        logging.INFO = 25
        recorder.info("x")
        out.obj.info("y")
    finally:
        logging.INFO = saved
    assert recorder.calls[0][0] == 25
    assert out.file_messages("Level 25") == ["y"]
