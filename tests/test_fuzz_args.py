"""Random arguments for every function: only the stated exceptions come out, the
registries stay well-formed, and _LOCK is never left held.

Values mix plausible ones (so calls get deep into construction) with wrong types,
subclasses of builtins, None, huge ints, bytes, lone surrogates and hostile
objects whose __str__, __eq__, __hash__ or __bool__ raise or return the wrong
type. Every file argument points into a temporary directory.
"""

import logging
import os

import hypothesis.strategies as st
import pytest
from conftest import drop_loggers, unique_name
from hypothesis import HealthCheck, given, settings

import log_main

SETTINGS = settings(deadline=None, derandomize=bool(os.environ.get("CI")), database=None,
                    suppress_health_check=list(HealthCheck))
CALLS = {}  # function -> calls made, for the report


class Hostile(Exception):
    """What the hostile objects raise."""


def raises(what):
    def method(self, *args):
        raise Hostile(what)
    return method


StrRaises = type("StrRaises", (), {"__str__": raises("__str__"), "__repr__": raises("__repr__")})
StrWrong = type("StrWrong", (), {"__str__": lambda self: 5})
EqHashRaise = type("EqHashRaise", (), {"__eq__": raises("__eq__"), "__hash__": raises("__hash__")})
BoolRaises = type("BoolRaises", (), {"__bool__": raises("__bool__")})
# A str subclass, usable as a keyword name, whose __eq__ raises: keyword names
# are matched by value, never by calling it.
EvilKey = type("EvilKey", (str,), {"__eq__": raises("key __eq__"), "__hash__": str.__hash__})
StrSub, IntSub, TupleSub, DictSub = (type(f"{t.__name__.title()}Sub", (t,), {})
                                     for t in (str, int, tuple, dict))


ALPHABET = st.one_of(st.characters(), st.sampled_from(["\ud800", "\udfff", "\x00", ".", "/"]))
TEXT = st.text(ALPHABET, max_size=12)
HOSTILE = st.one_of(*map(st.builds, [StrRaises, StrWrong, EqHashRaise, BoolRaises]))
ANY = st.deferred(lambda: st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.sampled_from([10**400, -10**400]),
    st.floats(), TEXT, st.binary(max_size=6), HOSTILE,
    TEXT.map(StrSub), st.integers().map(IntSub), st.builds(object),
    st.lists(ANY, max_size=3).map(tuple), st.lists(ANY, max_size=3).map(TupleSub),
    st.dictionaries(TEXT, ANY, max_size=2), st.dictionaries(TEXT, ANY, max_size=2).map(DictSub)))


def mostly(valid, other):
    """Valid values most of the time, so that calls get past the argument checks."""
    return st.integers(0, 7).flatmap(lambda i: other if i == 0 else valid)


LEVEL = mostly(st.sampled_from([0, 10, 20, 30, 40, 50, 60, -5, 2**64, 10**400]), ANY)
KIND = mostly(st.sampled_from(["file", "rotating", "timerotating"]), st.one_of(TEXT, ANY))
OPTIONS = {  # the file options the handlers read, with values they accept or refuse
    "encoding": st.sampled_from(["utf-8", "latin-1", "utf-16", "bogus", "rot13", None, 5]),
    "mode": st.sampled_from(["a", "w", "a+", "x", "r", "rb", "", "q", None, 5]),
    "maxBytes": st.one_of(st.integers(-10, 2**80), st.sampled_from(["x", None, 1.5])),
    "backupCount": st.one_of(st.integers(-3, 2**70), st.sampled_from(["x", None])),
    "when": st.one_of(st.sampled_from(["S", "m", "H", "d", "midnight", "W0", "W6", "W7"]),
                      TEXT, st.sampled_from([None, 5, b"S"])),
    "interval": st.one_of(st.integers(-3, 10**30), st.sampled_from([0.5, "x", None])),
}
CTOR_PARAMS = ["name", "level", "file", "handler_type", "console", "rehandler"]
# What may come out, per function:
# - VarnelLog, _SetLogger, _GetLogger: TypeError (argument count, keywords, exact
#   types); ValueError (a kind that is not one of the three, a known name, a file
#   registered with another kind; and from os and logging: a NUL byte or an
#   unencodable path, an invalid `when`); OSError (making the directory, opening
#   the file); LookupError (an unknown encoding, from open()); OverflowError (the
#   timed handler's rollover arithmetic); AttributeError only for a `when` that is
#   not a str (the timed handler calls when.upper()); and whatever the caller's
#   own `console` or `rehandler` raises when its truth value is tested.
# - _md5: TypeError; UnicodeEncodeError for a lone surrogate.
# - _ContextFilter: TypeError; its filter(): what setting record.name raises.
# - _LogBase methods: TypeError (arguments); level methods and _log return None
#   whatever the parts, except when enable() stored a value whose truth test raises.
FACTORY_ERRORS = (TypeError, ValueError, OSError, LookupError, OverflowError)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz")


def file_arg(base):
    inside = st.lists(TEXT.filter(lambda s: s not in ("", ".", "..") and "/" not in s),
                      min_size=1, max_size=3).map(lambda parts: os.path.join(base, *parts))
    # Never a relative path: that would be resolved against the working directory.
    not_text = ANY.filter(lambda v: type(v) is not str)
    return mostly(st.one_of(st.none(), inside, inside),
                  st.one_of(st.just(""), st.just(base), not_text))


@st.composite
def ctor_call(draw, base, prefix, positional_max):
    """(args, kwargs) for the factory or a constructor."""
    name = draw(mostly(st.one_of(TEXT.map(lambda s: prefix + s), st.just(prefix)),
                       st.one_of(st.none(), st.just(""), ANY)))
    values = [name, draw(LEVEL), draw(file_arg(base)), draw(KIND), draw(ANY), draw(ANY)]
    n = draw(mostly(st.integers(1, positional_max), st.integers(0, positional_max + 1)))
    args = (values + [draw(ANY) for _ in range(8)])[:n]
    kwargs = {}
    named = mostly(st.sampled_from(CTOR_PARAMS[n:] + list(OPTIONS)),
                   st.sampled_from(CTOR_PARAMS + ["extra"]))
    for key in draw(st.lists(named, max_size=4, unique=True)):
        if key in OPTIONS:
            kwargs[key] = draw(OPTIONS[key])
        elif key in CTOR_PARAMS:
            kwargs[key] = values[CTOR_PARAMS.index(key)]
        else:
            kwargs[key] = draw(ANY)
    evil = draw(st.sampled_from(CTOR_PARAMS[n:] + ["other"] + [None] * 20))
    if evil is not None and evil not in kwargs:
        kwargs[EvilKey(evil)] = values[CTOR_PARAMS.index(evil)] if evil in CTOR_PARAMS else 1
    return args, kwargs


def allowed_for_ctor(args, kwargs):
    allowed = FACTORY_ERRORS
    values = dict(zip(CTOR_PARAMS, args)) | {str(k): v for k, v in kwargs.items()}
    if any(isinstance(values.get(k), BoolRaises) for k in ("console", "rehandler")):
        allowed += (Hostile,)  # the truth value of the caller's own object
    if "when" in kwargs and not isinstance(kwargs["when"], str):
        allowed += (AttributeError,)  # TimedRotatingFileHandler calls when.upper()
    return allowed


def check_registries():
    assert not log_main._LOCK.locked()
    for name, stack in log_main._LOGGERS.items():
        assert type(name) is str and type(stack) is dict and stack, (name, stack)
        assert sorted(stack) == list(range(1, len(stack) + 1)), (name, stack)
        for obj in stack.values():
            assert isinstance(obj, log_main._LogBase) and obj.name == name
    for name, records in log_main._CAPTURES.items():
        assert type(name) is str and type(records) is dict and records
        for pos, record in records.items():
            assert type(pos) is int and pos >= 0
            assert pos == 0 or pos + 1 in log_main._LOGGERS.get(name, {}), (name, pos)
            ids, handlers = record["handler_ids"], record["handlers"]
            assert [h["id"] for h in handlers] == ids and all(type(i) is int for i in ids)
    for path, kind in log_main._FHANDLERS.items():
        assert kind in ("file", "rotating", "timerotating")
        assert os.path.isabs(path) and os.path.normpath(path) == path


@pytest.fixture
def sandbox():
    """Restores the root logger and removes every logger an example made."""
    root = logging.getLogger()
    saved = (root.handlers[:], root.level, root.propagate, log_main._LOGGERS.get("root"),
             log_main._CAPTURES.get("root"))

    def clean(prefix, made):
        for obj in reversed(made):
            obj.close()
        for name in [n for n in list(log_main._LOGGERS) if n.startswith(prefix)]:
            while name in log_main._LOGGERS:
                stack = log_main._LOGGERS[name]
                stack[max(stack)].close()
        for name in [n for n in list(log_main._CAPTURES) if n.startswith(prefix)]:
            del log_main._CAPTURES[name]
        drop_loggers(prefix)
        for h in root.handlers[:]:
            if h not in saved[0]:
                root.removeHandler(h)
                h.close()
        root.handlers[:] = saved[0]
        root.setLevel(saved[1])
        root.propagate = saved[2]
        # A second VarnelLog(None) replaces root's stack, leaving the capture
        # record of a take-over below it: restore both registries' entries.
        for registry, entry in ((log_main._LOGGERS, saved[3]), (log_main._CAPTURES, saved[4])):
            if entry is None:
                registry.pop("root", None)
            else:
                registry["root"] = entry

    return clean


def call(fn, label, args, kwargs, allowed):
    outcome = "returned"
    try:
        return fn(*args, **kwargs)
    except allowed as exc:
        outcome = type(exc).__name__
        return None
    finally:
        CALLS[label, outcome] = CALLS.get((label, outcome), 0) + 1


def examples(n):
    return settings(SETTINGS, max_examples=n)


@examples(400)
@given(data=st.data())
def test_factory(workdir, sandbox, data):
    prefix = unique_name("fz") + "_"
    base = str(workdir / prefix)
    made = []
    for _ in range(data.draw(st.integers(1, 4))):
        args, kwargs = data.draw(ctor_call(base, prefix, 6))
        obj = call(log_main.VarnelLog, "VarnelLog", args, kwargs, allowed_for_ctor(args, kwargs))
        if obj is not None:
            assert isinstance(obj, (log_main._SetLogger, log_main._GetLogger))
            made.append(obj)
        check_registries()
    sandbox(prefix, made)
    check_registries()


@examples(150)
@given(data=st.data(), which=st.sampled_from(["_SetLogger", "_GetLogger"]))
def test_constructors(workdir, sandbox, data, which):
    prefix = unique_name("fz") + "_"
    base = str(workdir / prefix)
    made = [log_main.VarnelLog(prefix, console=False, file=os.path.join(base, "known.log"))]
    for _ in range(data.draw(st.integers(1, 3))):
        args, kwargs = data.draw(ctor_call(base, prefix, 5 if which == "_SetLogger" else 6))
        obj = call(getattr(log_main, which), which, args, kwargs, allowed_for_ctor(args, kwargs))
        if obj is not None:
            made.append(obj)
        check_registries()
    sandbox(prefix, made)
    check_registries()


@examples(300)
@given(args=mostly(st.lists(TEXT, min_size=1, max_size=1), st.lists(ANY, max_size=3)),
       kwargs=mostly(st.just({}), st.dictionaries(st.sampled_from(["text", "txt", "self"]),
                                                 st.one_of(TEXT, ANY), max_size=2)))
def test_md5(args, kwargs):
    result = call(log_main._md5, "_md5", args, kwargs, (TypeError, UnicodeEncodeError))
    if result is not None:
        assert len(result) == 32 and set(result) <= set("0123456789abcdef")
    check_registries()


@examples(200)
@given(args=mostly(st.lists(TEXT, min_size=1, max_size=1), st.lists(ANY, max_size=2)),
       kwargs=mostly(st.just({}), st.dictionaries(st.sampled_from(["logger_name", "name"]),
                                                 st.one_of(TEXT, ANY), max_size=2)),
       record=st.one_of(st.builds(logging.makeLogRecord, st.just({})), ANY))
def test_context_filter(args, kwargs, record):
    flt = call(log_main._ContextFilter, "_ContextFilter", args, kwargs, (TypeError,))
    if flt is not None:
        assert isinstance(flt, logging.Filter)
        out = call(flt.filter, "_ContextFilter.filter", (record,), {},
                   (TypeError, AttributeError))
        assert out in (True, None)
        if out is True:
            assert record.name == flt._logger_name
    check_registries()


METHODS = ["debug", "info", "warning", "error", "critical", "_log", "set_console_level",
           "set_file_level", "disable", "enable"]


OPT_TUPLE = mostly(st.one_of(st.none(), st.lists(ANY, max_size=3).map(tuple)), ANY)
LOG_KWARGS = st.dictionaries(
    st.sampled_from(["extra", "stacklevel", "exc_info", "stack_info", "level", "bogus"]), ANY,
    max_size=2)
OPT_DICT = mostly(st.one_of(st.none(), LOG_KWARGS), ANY)


@st.composite
def method_call(draw):
    method = draw(st.sampled_from(METHODS))
    parts = draw(st.lists(st.one_of(TEXT, ANY), max_size=5))
    if method in ("_log",):
        args = draw(mostly(st.tuples(LEVEL, st.lists(ANY, max_size=4).map(tuple), OPT_TUPLE,
                                     OPT_DICT).map(list), st.just(parts)))
        args = args[:draw(mostly(st.integers(2, 4), st.integers(0, 5)))]
        keys = ["level", "message", "args", "kwargs", "other"]
    elif method in ("set_console_level", "set_file_level", "enable"):
        args = draw(mostly(st.tuples(LEVEL).map(list), st.just(parts)))
        keys = ["level", "value", "other"]
    elif method == "disable":
        args, keys = draw(mostly(st.just([]), st.just(parts))), ["other"]
    else:
        args, keys = parts, ["args", "kwargs", "args", "kwargs", "message", "other"]
    kwargs = {}
    for key in draw(st.lists(st.sampled_from(keys), max_size=2, unique=True)):
        kwargs[key] = draw({"args": OPT_TUPLE, "kwargs": OPT_DICT, "level": LEVEL}.get(key, ANY))
    return method, args, kwargs


@examples(250)
@given(data=st.data(), state=st.sampled_from(["emitting", "silent", "disabled", "captured"]))
def test_logger_methods(workdir, sandbox, data, state):
    prefix = unique_name("fz") + "_"
    obj = log_main.VarnelLog(prefix, file=str(workdir / prefix / "m.log"))
    made = [obj]
    if state == "silent":
        obj.set_console_level(60)
        obj.set_file_level(60)
    elif state == "disabled":
        obj.disable()
    elif state == "captured":
        made.append(log_main.VarnelLog(prefix, rehandler=True, console=False))
    for _ in range(data.draw(st.integers(1, 12))):
        method, args, kwargs = data.draw(method_call())
        allowed = (TypeError,)
        if isinstance(made[-1]._logger, BoolRaises):
            # enable() stored the caller's object; the level methods test its
            # truth value before anything else, outside the guard.
            allowed += (Hostile,)
        result = call(getattr(made[-1], method), f"_LogBase.{method}", args, kwargs, allowed)
        assert result is None
        check_registries()
    call(made[-1].close, "_LogBase.close", data.draw(st.lists(ANY, max_size=1)), {},
         (TypeError,))
    sandbox(prefix, made)
    check_registries()


@pytest.fixture(scope="module", autouse=True)
def report_counts():
    yield
    path = os.environ.get("LOG_MAIN_FUZZ_COUNTS")
    if path:
        with open(path, "w") as f:
            f.write(repr(CALLS))
