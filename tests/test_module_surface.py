"""The module surface: names, function metadata, argument binding, import life cycle, console output."""

import builtins
import functools
import hashlib
import importlib
import importlib.util
import inspect
import io
import json
import logging
import logging.handlers
import re
import sys
import sysconfig
import textwrap
import types
import typing

import colorlog
import pytest
from conftest import record_line, run_python, unique_name

import log_main

P = inspect.Parameter
LEVELS = ("debug", "info", "warning", "error", "critical")
_LEVEL_TAIL = "(self, *message: Any, tuple args: Optional[Tuple[Any, ...]] = None, dict kwargs: Optional[Dict[str, Any]] = None) -> None"
_CTOR = "str name: str, int level: int = logging.DEBUG, str file: Optional[str] = None, str handler_type: str = 'file', console: bool = True"
# Every function in definition order; each docstring is its signature line, so the
# expected annotations, defaults and inspect signature are all read off this text.
DOCS = [
    "_md5(str text: str) -> str",
    "_ContextFilter.__init__(self, str logger_name: str)",
    "_ContextFilter.filter(self, record: logging.LogRecord) -> bool",
    "_LogBase.__init__(self)",
    "_LogBase._create_console_handler(self) -> None",
    "_LogBase._create_file_handler(self) -> None",
    "_LogBase.disable(self) -> None",
    "_LogBase.enable(self, value: logging.Logger) -> None",
    "_LogBase.close(self) -> None",
    "_LogBase.set_console_level(self, int level: int) -> None",
    "_LogBase.set_file_level(self, int level: int) -> None",
    "_LogBase._log(self, int level: int, tuple message: Tuple[Any, ...], tuple args: Optional[Tuple[Any, ...]] = None, dict kwargs: Optional[Dict[str, Any]] = None) -> None",
    *[f"_LogBase.{m}{_LEVEL_TAIL}" for m in (*LEVELS, "exception")],
    "_LogBase.__enter__(self) -> '_LogBase'",
    "_LogBase.__exit__(self, exc_type: Optional[type[BaseException]], exc_value: Optional[BaseException], traceback: Optional[TracebackType]) -> None",
    "_LogBase.__repr__(self) -> str",
    "VarnelLog.__new__(cls, str name: Optional[str], int level: int = logging.DEBUG, str file: Optional[str] = None, str handler_type: str = 'file', console: bool = True, rehandler: bool = False, **kwargs) -> '_LogBase'",
    f"_SetLogger.__init__(self, {_CTOR}, **kwargs) -> None",
    "_SetLogger._setup_logger(self)",
    f"_GetLogger.__init__(self, {_CTOR}, rehandler: bool = False, **kwargs) -> None",
    "_GetLogger._captures_logger(self)",
]
NAMESPACE = ["__all__", "hashlib", "logging", "os", "uuid", "RotatingFileHandler", "TimedRotatingFileHandler",
             "Lock", "Optional", "Any", "Dict", "List", "Tuple", "colorlog", "_fformatter", "_cformatter",
             "_colors", "_LOGGERS", "_FHANDLERS", "_CAPTURES", "_LOCK", "_md5",
             "_ContextFilter", "_LogBase", "VarnelLog", "_SetLogger", "_GetLogger"]
CLASSES = {"_ContextFilter": (logging.Filter,), "_LogBase": (object,), "VarnelLog": (object,),
           "_SetLogger": ("_LogBase",), "_GetLogger": ("_LogBase",)}


def parse_doc(doc):
    """-> (qualname, [(name, kind, default, annotation or None)], return annotation or None)."""
    qual, inner, tail = doc[:doc.index("(")], doc[doc.index("(") + 1:doc.rindex(")")], doc[doc.rindex(")") + 1:]
    assert tail == "" or tail.startswith(" -> ")
    params, kind = [], P.POSITIONAL_OR_KEYWORD
    for piece in re.split(r",\s*(?![^\[]*\])", inner):  # commas outside [...]
        piece, _, default = piece.partition(" = ")
        left, _, ann = piece.partition(": ")
        name, k = left.split()[-1], kind
        if name.startswith("**"):
            name, k = name[2:], P.VAR_KEYWORD
        elif name.startswith("*"):
            name, k, kind = name[1:], P.VAR_POSITIONAL, P.KEYWORD_ONLY
        params.append((name, k, eval(default, {"logging": logging}) if default else P.empty, ann or None))
    return qual, params, tail[4:] or None


def lookup(qual):
    return functools.reduce(getattr, qual.split("."), log_main)


@pytest.mark.parametrize("doc", DOCS, ids=[d.split("(")[0] for d in DOCS])
def test_function_metadata(doc):
    qual, params, ret = parse_doc(doc)
    f = lookup(qual)
    ann = {n: a for n, _, _, a in params if a is not None}
    if ret is not None:
        ann["return"] = ret
    pos = tuple(d for _, k, d, _ in params if k is P.POSITIONAL_OR_KEYWORD and d is not P.empty)
    kw = {n: d for n, k, d, _ in params if k is P.KEYWORD_ONLY and d is not P.empty}
    assert f.__doc__ == doc
    assert type(f.__annotations__) is dict and f.__annotations__ == ann
    assert f.__defaults__ == (pos or None)
    assert f.__kwdefaults__ == (kw or None)
    assert (f.__module__, f.__qualname__, f.__name__) == ("log_main", qual, qual.split(".")[-1])
    sig = inspect.signature(f)
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == [x[:3] for x in params]


def test_documented_default_values():
    assert log_main.VarnelLog.__new__.__defaults__ == (logging.DEBUG, None, "file", True, False)
    assert log_main._SetLogger.__init__.__defaults__ == (logging.DEBUG, None, "file", True)
    assert log_main._LogBase.debug.__kwdefaults__ == {"args": None, "kwargs": None}
    assert log_main._LogBase._log.__defaults__ == (None, None)
    assert isinstance(log_main.VarnelLog.__dict__["__new__"], staticmethod)
    assert log_main.VarnelLog.__dict__["__new__"].__func__ is log_main.VarnelLog.__new__


@pytest.mark.parametrize("cls_name", list(CLASSES))
def test_class_metadata_and_method_order(cls_name):
    cls = getattr(log_main, cls_name)
    bases = tuple(getattr(log_main, b) if isinstance(b, str) else b for b in CLASSES[cls_name])
    assert type(cls) is type and isinstance(cls, type)
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__bases__) == ("log_main", cls_name, cls_name, bases)
    own = [d.split("(")[0].split(".")[1] for d in DOCS if d.startswith(cls_name + ".")]
    assert [k for k, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)] == own


def test_namespace_order_exports_and_constants():
    assert [k for k in vars(log_main) if k in NAMESPACE] == NAMESPACE
    assert log_main.__all__ == ["VarnelLog"]
    ns = {}
    exec("from log_main import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == ["VarnelLog"] and ns["VarnelLog"] is log_main.VarnelLog
    assert list(log_main._colors.items()) == [("INFO", "green"), ("DEBUG", "blue"), ("WARNING", "yellow"),
                                              ("ERROR", "red"), ("CRITICAL", "bold_red,bg_white")]
    assert log_main._fformatter == "%(asctime)s - %(name)s - %(levelname)s - %(message)s"
    assert log_main._cformatter == "%(log_color)s" + log_main._fformatter
    assert type(log_main._LOCK) is type(log_main.Lock()) and log_main.Lock is __import__("threading").Lock
    for mod in ("hashlib", "logging", "os", "uuid", "colorlog"):
        assert getattr(log_main, mod) is sys.modules[mod]
    assert all(getattr(log_main, n) is getattr(typing, n) for n in ("Optional", "Any", "Dict", "List", "Tuple"))
    assert log_main.RotatingFileHandler is logging.handlers.RotatingFileHandler
    assert log_main.TimedRotatingFileHandler is logging.handlers.TimedRotatingFileHandler
    assert all(type(getattr(log_main, r)) is dict for r in ("_LOGGERS", "_FHANDLERS", "_CAPTURES"))
    assert issubclass(log_main._SetLogger, log_main._LogBase) and issubclass(log_main._ContextFilter, logging.Filter)


def test_writing_defaults_changes_binding():
    obj, calls = log_main._LogBase(), []
    obj._logger = types.SimpleNamespace(log=lambda *a, **k: calls.append((a, k)))  # stands in for a Logger
    saved, saved_kw = log_main._LogBase._log.__defaults__, log_main._LogBase.info.__kwdefaults__
    try:
        log_main._LogBase._log.__defaults__ = (("X",), {"stacklevel": 2})
        obj._log(20, ("v=%s",))
        log_main._LogBase.info.__kwdefaults__ = {"args": ("Y",), "kwargs": None}
        obj.info("w=%s")
        assert inspect.signature(log_main._LogBase.info).parameters["args"].default == ("Y",)
    finally:
        log_main._LogBase._log.__defaults__, log_main._LogBase.info.__kwdefaults__ = saved, saved_kw
    # info() passes its own args/kwargs to _log positionally, so _log's defaults play no part there.
    assert calls == [((20, "v=%s", "X"), {"stacklevel": 2}), ((logging.INFO, "w=%s", "Y"), {})]
    obj.info("plain")
    assert calls[-1] == ((logging.INFO, "plain"), {})


def _base():
    return log_main._LogBase()


@pytest.mark.parametrize("call, message", [
    (lambda: log_main._md5("a", "b"), "_md5() takes exactly 1 positional argument (2 given)"),
    (lambda: log_main._md5(), "_md5() takes exactly 1 positional argument (0 given)"),
    (lambda: log_main.VarnelLog(), "__new__() takes at least 2 positional arguments (1 given)"),
    (lambda: log_main.VarnelLog(level=10), "__new__() takes at least 2 positional arguments (1 given)"),
    (lambda: log_main.VarnelLog("a", 10, None, "file", True, False, 1),
     "__new__() takes at most 7 positional arguments (8 given)"),
    *[(lambda m=m: getattr(log_main._LogBase, m)(), f"{m}() takes at least 1 positional argument (0 given)")
      for m in LEVELS],
    (lambda: _base()._log(), "_log() takes at least 3 positional arguments (1 given)"),
    (lambda: _base()._log(10, (), None, None, 5), "_log() takes at most 5 positional arguments (6 given)"),
    (lambda: _base().set_console_level(1, 2), "set_console_level() takes exactly 2 positional arguments (3 given)"),
    (lambda: log_main._LogBase(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: log_main._SetLogger(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: log_main._SetLogger("a", 10, None, "file", True, 1), "__init__() takes at most 6 positional arguments (7 given)"),
    (lambda: log_main._md5("a", text="b"), "_md5() got multiple values for keyword argument 'text'"),
    (lambda: log_main.VarnelLog("a", name="b"), "__new__() got multiple values for keyword argument 'name'"),
    (lambda: log_main._SetLogger("a", 10, zz=1, level=3), "__init__() got multiple values for keyword argument 'level'"),
    (lambda: log_main._ContextFilter("a", logger_name="b"), "__init__() got multiple values for keyword argument 'logger_name'"),
    (lambda: log_main._md5(txt="b"), "_md5() got an unexpected keyword argument 'txt'"),
    (lambda: _base().info("x", foo=1), "info() got an unexpected keyword argument 'foo'"),
    (lambda: log_main._ContextFilter("a", nope=1), "__init__() got an unexpected keyword argument 'nope'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class StrSub(str):
    pass


@pytest.mark.parametrize("call, param, expected, got", [
    (lambda: log_main._md5(None), "text", "str", "NoneType"),
    (lambda: log_main._md5(b""), "text", "str", "bytes"),
    (lambda: log_main._md5(1), "text", "str", "int"),
    (lambda: log_main._md5(StrSub("a")), "text", "str", "StrSub"),
    (lambda: log_main.VarnelLog("n", True), "level", "int", "bool"),
    (lambda: log_main.VarnelLog("n", None), "level", "int", "NoneType"),
    (lambda: log_main.VarnelLog(StrSub("n")), "name", "str", "StrSub"),
    (lambda: log_main.VarnelLog(1, True, 3, None), "name", "str", "int"),
    (lambda: log_main.VarnelLog("n", 10, 3, None), "file", "str", "int"),
    (lambda: log_main.VarnelLog("n", 10, None, None), "handler_type", "str", "NoneType"),
    (lambda: log_main._SetLogger(None), "name", "str", "NoneType"),
    (lambda: _base().info("x", args=[1]), "args", "tuple", "list"),
    (lambda: _base().info("x", kwargs=()), "kwargs", "dict", "tuple"),
    (lambda: _base()._log("x", []), "level", "int", "str"),
    (lambda: _base()._log(10, []), "message", "tuple", "list"),
    (lambda: _base().set_file_level(level=True), "level", "int", "bool"),
    (lambda: log_main._ContextFilter(None), "logger_name", "str", "NoneType"),
    (lambda: log_main._ContextFilter(StrSub("x")), "logger_name", "str", "StrSub"),
])
def test_type_errors_and_subclass_note(call, param, expected, got):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    notes = getattr(info.value, "__notes__", [])
    if got in ("bool", "StrSub"):
        assert len(notes) == 1 and "subclass" in notes[0].lower()
    else:
        assert notes == []


def test_extra_keywords_gathered_in_call_order(tmp_path):
    extra = {"zeta": 1, "encoding": "utf-8", "alpha": 2}
    obj = log_main.VarnelLog(unique_name(), file=str(tmp_path / "a.log"), **extra)
    direct = log_main._SetLogger(unique_name(), 10, str(tmp_path / "b.log"), "file", True, b=1, a=2)
    try:
        assert list(obj.kwargs.items()) == list(extra.items()) and obj.kwargs is not extra
        obj.kwargs["zeta"] = 99
        assert extra["zeta"] == 1
        assert list(direct.kwargs.items()) == [("b", 1), ("a", 2)]
    finally:
        obj.close()
        direct.close()


def test_functions_are_method_descriptors():
    f = log_main._LogBase.__dict__["info"]
    assert type(f).__flags__ & (1 << 17)
    assert f.__get__(None, log_main._LogBase) is f and log_main._LogBase.info is f
    obj = log_main._LogBase()
    bound = f.__get__(obj, log_main._LogBase)
    assert type(bound) is type(obj.info) is type(obj.disable)
    assert bound.__self__ is obj and bound.__func__ is f
    assert obj.info("x") is None


def test_context_filter_and_zero_argument_super():
    flt = log_main._ContextFilter("x")
    assert (flt.name, flt.nlen, flt._logger_name) == ("", 0, "x")  # logging.Filter.__init__() ran with no name
    rec = logging.makeLogRecord({"name": "x", "msg": "m"})
    assert flt.filter(rec) is True and flt.filter(record=rec) is True and rec.name == "x"

    class SubFilter(log_main._ContextFilter):
        def __init__(self, name):
            super().__init__(name)

    rec = logging.makeLogRecord({"name": "owner.child"})
    assert SubFilter("owner").filter(rec) is True and rec.name == "owner"  # the record itself is changed

    class Sub(log_main._SetLogger):
        def __init__(self, name, **kw):
            super().__init__(name, 30, **kw)
            self.extra = True

    name = unique_name()
    obj = Sub(name, opt=1)
    try:
        assert type(obj) is Sub and obj.extra and obj.kwargs == {"opt": 1}
        assert obj._logger is logging.getLogger(name) and obj._console_handler.level == 30
        assert not hasattr(obj, "rehandler")
    finally:
        obj.close()


def test_reimport_and_reload_keep_module_and_state():
    obj = log_main.VarnelLog(unique_name())
    registry, lock, entry = log_main._LOGGERS, log_main._LOCK, log_main._LOGGERS[obj.name]
    try:
        import log_main as again
        assert again is log_main
        assert importlib.reload(log_main) is log_main
        del sys.modules["log_main"]
        try:
            fresh = importlib.import_module("log_main")
        finally:
            sys.modules["log_main"] = log_main
        assert fresh is log_main
        assert importlib.util.module_from_spec(log_main.__spec__) is log_main
        assert log_main._LOGGERS is registry and log_main._LOCK is lock
        assert registry[obj.name] is entry and entry[1] is obj
    finally:
        obj.close()


# Subprocess scripts get attempt(src) -> [exception type name, message] or None, and report(obj).
PRELUDE = """
import json, sys
def attempt(src):
    try:
        exec(src, globals())
    except BaseException as e:
        return [type(e).__name__, str(e)]
def report(obj):
    print(json.dumps(obj))
"""
REFUSAL = ("log_main cannot be imported in a subinterpreter: its loggers, registries and lock "
           "belong to the whole process, so only the main interpreter may load it")


def run_script(code):
    proc = run_python("-c", PRELUDE + textwrap.dedent(code))
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a build with the GIL")
def test_import_leaves_the_gil_off():
    # -W error: the RuntimeWarning of a module that turns the GIL on fails the import.
    out = run_script("""
        import warnings
        warnings.simplefilter("error")
        report([sys._is_gil_enabled(), attempt("import log_main"), sys._is_gil_enabled()])
    """)
    assert out == [False, None, False]


def test_other_interpreters_are_refused():
    out = run_script("""
        import _interpreters as I
        import log_main
        res = []
        for cfg in ("legacy", I.new_config("legacy")):
            err = I.exec(iid := I.create(cfg), "import log_main")
            res.append([err.type.__name__, err.msg])
            I.destroy(iid)
        report(res)
    """)
    # The interpreter refuses by itself where it checks the module's slot (isolated ones;
    # every one on the free-threaded build), the module everywhere else.
    refused = {("ImportError", REFUSAL),
               ("ImportError", "module log_main does not support loading in subinterpreters")}
    assert len(out) == 2 and {tuple(e) for e in out} <= refused
    # Subinterpreters that try first are refused too, and the main one imports it after them.
    out = run_script("""
        import _interpreters as I
        errs = [I.exec(I.create(cfg), "import log_main") for cfg in ("isolated", "legacy")]
        report([[e.type.__name__, e.msg] for e in errs] + [attempt("import log_main")])
    """)
    assert {tuple(e) for e in out[:2]} <= refused and out[2] is None


def test_missing_dependency_fails_import_then_retry_works():
    out = run_script("""
        import io
        class Blocked(ImportError): pass
        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "colorlog":
                    raise Blocked("colorlog unavailable")
        sys.modules["colorlog"] = None
        res = [attempt("import log_main"), "log_main" in sys.modules]
        del sys.modules["colorlog"]
        sys.meta_path.insert(0, Finder())
        res += [attempt("import log_main"), "log_main" in sys.modules]
        del sys.meta_path[0]
        import log_main
        obj = log_main.VarnelLog("svc")
        obj._console_handler.setStream(stream := io.StringIO())
        obj.info("up")
        report(res + [type(obj).__name__, log_main._md5(""), " - svc - INFO - up" in stream.getvalue()])
    """)
    assert out[0][0] == "ModuleNotFoundError" and "colorlog" in out[0][1]
    assert out[1:] == [False, ["Blocked", "colorlog unavailable"], False,
                       "_SetLogger", hashlib.md5(b"").hexdigest(), True]


def test_level_default_read_and_checked_at_import():
    out = run_script("""
        import logging
        res = []
        for bad in ("x", True, 1.5):
            logging.DEBUG = bad
            res.append(attempt("import log_main"))
        big = logging.DEBUG = 10 ** 20
        import log_main
        logging.DEBUG = 10
        fs = [log_main.VarnelLog.__new__, log_main._SetLogger.__init__, log_main._GetLogger.__init__]
        report(res + [[f.__defaults__[0] is big for f in fs]])
    """)
    assert out == [["TypeError", f"Expected int, got {t}"] for t in ("str", "bool", "float")] + [[True] * 3]


def test_execution_slot_refuses_another_module_object():
    out = run_script("""
        import ctypes, types, log_main
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        mdef = api.PyModule_GetDef(log_main)
        before = dict(vars(log_main))
        same = api.PyModule_ExecDef(log_main, mdef)  # the module already run: nothing happens
        untouched = vars(log_main).keys() == before.keys() and all(vars(log_main)[k] is v for k, v in before.items())
        other = types.ModuleType("log_main")
        report([same, untouched, attempt("api.PyModule_ExecDef(other, mdef)")])
    """)
    assert out == [0, True, ["RuntimeError", "Module 'log_main' has already been imported. Re-initialisation is not supported."]]


@pytest.mark.parametrize("text", ["", "abc", "héllo wörld ✓ 日本", "\x00\n"])
def test_md5_matches_hashlib(text):
    expected = hashlib.md5(text.encode("utf-8")).hexdigest()
    assert log_main._md5(text) == expected and log_main._md5(text=text) == expected


def test_md5_lone_surrogate_propagates_encode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        log_main._md5("a\ud800")
    assert info.value.encoding == "utf-8" and info.value.start == 1


def test_md5_reads_hashlib_global_at_call_time(monkeypatch):
    fed = []
    fake = types.SimpleNamespace(md5=lambda: types.SimpleNamespace(update=fed.append, hexdigest=lambda: "fake-digest"))
    monkeypatch.setattr(log_main, "hashlib", fake)
    assert log_main._md5("é") == "fake-digest" and fed == ["é".encode("utf-8")]
    monkeypatch.delattr(log_main, "hashlib")
    with pytest.raises(NameError) as info:
        log_main._md5("a")
    assert str(info.value) == "name 'hashlib' is not defined"
    monkeypatch.setattr(builtins, "hashlib", fake, raising=False)
    assert log_main._md5("a") == "fake-digest"


def test_fresh_logbase_attributes(monkeypatch):
    a, b = log_main._LogBase(), log_main._LogBase()
    assert list(vars(a).items()) == [
        ("name", None), ("file", None), ("handler_type", None), ("file_level", logging.DEBUG),
        ("console", True), ("console_level", logging.DEBUG), ("kwargs", {}), ("_logger", None),
        ("_file_handler", None), ("_console_handler", None), ("_handler_filter", None)]
    assert a.kwargs is not b.kwargs and a.console is True and a.file_level == 10
    monkeypatch.setattr(logging, "DEBUG", 5)
    c = log_main._LogBase()
    assert (c.file_level, c.console_level) == (5, 5)
    monkeypatch.delattr(log_main, "logging")
    with pytest.raises(NameError, match="^name 'logging' is not defined$"):
        log_main._LogBase()


@pytest.fixture
def no_color_env(monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)


def test_console_handler_configuration_and_coloured_output(no_color_env):
    name = unique_name()
    obj = log_main.VarnelLog(name, logging.INFO)
    try:
        h = obj._console_handler
        assert type(h) is colorlog.StreamHandler and h in obj._logger.handlers and h.level == obj.console_level == 20
        assert type(h.formatter) is colorlog.ColoredFormatter
        assert h.formatter._style._fmt == log_main._cformatter and h.formatter.log_colors == log_main._colors
        assert h.filters == [obj._handler_filter] and type(obj._handler_filter) is log_main._ContextFilter
        h.setStream(stream := io.StringIO())
        obj.warning("hello", 3)
        obj.debug("below the console level")
        logging.getLogger(name + ".db").error("from child")
        reset = colorlog.escape_codes.escape_codes["reset"]
        lines = stream.getvalue().splitlines()
        assert len(lines) == 2
        for line, (level, msg) in zip(lines, [("WARNING", "hello 3"), ("ERROR", "from child")]):
            color = colorlog.escape_codes.parse_colors(log_main._colors[level])
            assert re.fullmatch(re.escape(color) + record_line(re.escape(name), level, msg) + re.escape(reset), line)
    finally:
        obj.close()


def test_console_builder_reads_format_globals_at_call_time(monkeypatch, no_color_env):
    monkeypatch.setattr(log_main, "_cformatter", "%(log_color)s%(name)s|%(message)s")
    monkeypatch.setattr(log_main, "_colors", {"WARNING": "cyan"})
    name = unique_name()
    obj = log_main.VarnelLog(name)
    try:
        obj._console_handler.setStream(stream := io.StringIO())
        obj.warning("w")
        expected = colorlog.escape_codes.parse_colors("cyan") + f"{name}|w" + colorlog.escape_codes.escape_codes["reset"]
        assert stream.getvalue() == expected + "\n"
    finally:
        obj.close()


def test_console_builder_on_bare_object():
    name = unique_name()
    lg = logging.getLogger(name)
    obj = log_main._LogBase()
    obj._logger, obj._handler_filter, obj.console, obj.console_level = lg, log_main._ContextFilter(name), 0, 40
    assert obj._create_console_handler() is None and obj._console_handler is None and lg.handlers == []
    obj.console = "yes"
    assert obj._create_console_handler() is None
    h = obj._console_handler
    try:
        assert lg.handlers == [h] and h.level == 40 and h.filters == [obj._handler_filter]
    finally:
        lg.removeHandler(h)
        h.close()

