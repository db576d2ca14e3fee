"""Random sequences of the whole API with hostile inputs between and inside the
calls. After every step: only the stated exceptions came out, _LOCK is free,
and the registries are well formed.

One run draws steps from: the factory (new and known names, root, files of the
three kinds, bad kinds, a directory as the file, odd console/rehandler values),
_SetLogger/_GetLogger called directly, the level methods with odd parts and
extras, the level setters, disable/enable with odd objects, close (twice, below
the top, after use), library-shaped loggers, handlers changed by hand,
logging.disable, monkeypatched logging functions, and function defaults
changed before a call or by user code the call runs.

The rules of HOSTILE_RULES make the module run Python code that re-enters it
while it holds _LOCK (answered with RuntimeError), and hand it malformed
registry entries and capture records; with any of them on, edit_handlers also
adds handlers whose constructor calls the factory. They are all on unless
LOG_MAIN_FUZZ_HOSTILE names a subset (break_registries,...) or is 0.

Budget: CI (derandomized), a short default run, or a campaign:
LOG_MAIN_FUZZ_EXAMPLES / LOG_MAIN_FUZZ_STEPS with pytest's --hypothesis-seed
(scripts/fuzz.sh). LOG_MAIN_FUZZ_TRACE=path appends each step to path before it
runs (what led to a crash); LOG_MAIN_FUZZ_COUNTS=path receives the number of
calls made into the module. A step that blocks for LOG_MAIN_FUZZ_STEP_TIMEOUT
seconds (default 20) fails as a deadlock; one that cannot be interrupted ends
the process after four times as long, with every thread's traceback.
"""

import copy
import faulthandler
import io
import logging
import logging.handlers
import os
import shutil
import signal
import sys
import tempfile
import uuid

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import pytest

from conftest import check_registries
import log_main

HOSTILE_RULES = ("reenter_under_lock", "reentrant_logger_class", "reentrant_patch",
                 "break_registries")
_hostile = os.environ.get("LOG_MAIN_FUZZ_HOSTILE", "1")
# "1" (the default): every hostile rule; "0": none; or a comma-separated list of names.
ENABLED = (set(HOSTILE_RULES) if _hostile == "1"
           else set(filter(None, _hostile.split(","))) - {"0"})
HOSTILE = bool(ENABLED)
STEP_TIMEOUT = float(os.environ.get("LOG_MAIN_FUZZ_STEP_TIMEOUT", "20"))
TRACE = os.environ.get("LOG_MAIN_FUZZ_TRACE")


def budget():
    examples, steps = os.environ.get("LOG_MAIN_FUZZ_EXAMPLES"), os.environ.get("LOG_MAIN_FUZZ_STEPS")
    if examples:  # a campaign: seeded from the command line
        return {"max_examples": int(examples), "stateful_step_count": int(steps or 60)}
    if os.environ.get("CI"):  # under a minute under ASan+UBSan
        return {"max_examples": 500, "stateful_step_count": 60, "derandomize": True}
    return {"max_examples": 25, "stateful_step_count": 30}


class Hostile(Exception):
    """Raised by the test's own hostile objects."""


class Hang(BaseException):
    """A step blocked for longer than any step may take. A BaseException, so that
    no `except Exception` on the way out (the module's own, when a handler's close()
    raises) swallows it; the outermost call turns it into a failure."""


ARMED = [False]  # hostile objects act only while a run is on, not in its clean-up


def _on_alarm(signum, frame):
    raise Hang(f"a step blocked for {STEP_TIMEOUT} s")


# --- Hostile objects ----------------------------------------------------------

class Part:
    """A message part (or %-argument) whose __str__ misbehaves."""

    def __init__(self, mode, machine):
        self.mode, self.machine = mode, machine

    def __str__(self):
        if ARMED[0]:
            if self.mode == "raise":
                raise Hostile("__str__")
            if self.mode == "wrong":
                return 5  # type: ignore[return-value]
            if self.mode == "factory":
                self.machine.reenter("factory")
            elif self.mode == "close":
                self.machine.reenter("close")
            elif self.mode == "clear kwdefaults":  # while the call reads them
                self.machine.set_defaults(self.machine.level_method, "__kwdefaults__", None)
        return f"<{self.mode}>"

    def __repr__(self):
        return f"Part({self.mode!r})"


class Truth:
    """A console/rehandler value whose truth test raises or re-enters."""

    def __init__(self, mode, machine):
        self.mode, self.machine = mode, machine

    def __bool__(self):
        if ARMED[0]:
            if self.mode == "raise":
                raise Hostile("__bool__")
            self.machine.reenter(self.mode)
        return True

    def __repr__(self):
        return f"Truth({self.mode!r})"


class Key(str):
    """A keyword name whose __eq__/__hash__ raise, re-enter or shorten defaults."""

    mode = "plain"
    machine = None

    def _act(self):
        if ARMED[0] and self.mode == "raise":
            raise Hostile("key")
        if ARMED[0] and self.mode in ("factory", "close"):
            self.machine.reenter(self.mode)
        if ARMED[0] and self.mode == "shorten defaults":
            self.machine.set_defaults(log_main.VarnelLog.__new__, "__defaults__", ("x",))

    def __eq__(self, other):
        self._act()
        return str.__eq__(self, other)

    def __hash__(self):
        self._act()
        return str.__hash__(self)

    def __repr__(self):
        return f"Key({str(self)!r}, {self.mode!r})"


def make_key(text, mode, machine):
    key = Key(text)
    key.mode, key.machine = mode, machine
    return key


class CloseRaises(logging.StreamHandler):
    def close(self):
        super().close()
        if ARMED[0]:
            raise Hostile("handler close")


class CloseReenters(logging.StreamHandler):
    """Logs through a new logger object from close()."""

    machine = None

    def close(self):
        super().close()
        if ARMED[0] and self.machine is not None:
            self.machine.reenter("factory")


class EmitReenters(logging.StreamHandler):
    """Makes and closes a logger object for every record it writes."""

    machine = None

    def emit(self, record):
        if ARMED[0] and self.machine is not None and not self.machine.in_emit:
            self.machine.in_emit = True
            try:
                self.machine.reenter("factory", close_after=True)
            finally:
                self.machine.in_emit = False
        super().emit(record)


class PrefixHandler(logging.StreamHandler):
    """A library handler whose constructor needs an argument."""

    def __init__(self, prefix, stream):
        super().__init__(stream)
        self.prefix = prefix


class Plain(logging.StreamHandler):
    """A StreamHandler subclass made with its own stream."""


class ReenterLogger(logging.Logger):
    """A logging.setLoggerClass class whose __init__ calls the factory."""

    machine = None

    def __init__(self, name, level=logging.NOTSET):
        super().__init__(name, level)
        if ARMED[0] and self.machine is not None:
            self.machine.reenter("factory")


# --- Registry checks ----------------------------------------------------------

def close_quietly(handler):
    try:
        handler.close()
    except Exception:
        pass


def lock_is_free():
    if not log_main._LOCK.acquire(blocking=False):
        return False
    log_main._LOCK.release()
    return True


# --- Strategies ---------------------------------------------------------------

LEVELS = st.sampled_from([0, 10, 20, 30, 40, 50, 60, -7, 2**40])
ODD_LEVELS = st.sampled_from([True, "10", None, 10.0, 2**70])
PLAIN_PARTS = st.one_of(
    st.text(max_size=8), st.integers(), st.floats(), st.none(), st.binary(max_size=4),
    st.sampled_from(["%s", "%d %s", "\ud800", "\x00", "é✓", ValueError("boom"), {"k": [1]}]))
KINDS = st.sampled_from(["file", "rotating", "timerotating", "file", "rotating", "timerotating",
                         "bogus", "", "FILE"])
OPTIONS = st.dictionaries(st.sampled_from(["encoding", "mode", "maxBytes", "backupCount", "when",
                                           "interval", "delay", "bogus"]),
                          st.sampled_from([0]), max_size=3)
OPTION_VALUES = {
    "encoding": ["utf-8", "latin-1"], "mode": ["a", "w"], "maxBytes": [0, 200, 10**8],
    "backupCount": [0, 2], "when": ["S", "H", "midnight", "W0"], "interval": [1, 2],
    "delay": [True, False], "bogus": [object()],
}
LOG_KWARGS = st.one_of(
    st.none(), st.just({"exc_info": True}), st.just({"stack_info": True}),
    st.just({"extra": {"a": 1}}), st.just({"stacklevel": 3}), st.just({"bogus": 1}),
    st.just(5), st.just({}))
LEVEL_METHODS = ["debug", "info", "warning", "error", "critical"]
# (function, attribute) pairs whose defaults a step changes before a call
DEFAULT_TARGETS = [("VarnelLog.__new__", "__defaults__"), ("_SetLogger.__init__", "__defaults__"),
                   ("_GetLogger.__init__", "__defaults__"), ("_LogBase._log", "__defaults__"),
                   ("_LogBase.info", "__kwdefaults__"), ("_LogBase.error", "__kwdefaults__")]
DEFAULT_VALUES = {
    "__defaults__": [None, (), (20,), (20, None), (True, None, "file", True, False),
                     ("x", 5, b"", None, None), (30, None, "rotating", False, True, "extra"),
                     ((1, 2), {"exc_info": True}), (None, 5)],
    "__kwdefaults__": [None, {}, {"args": ("a",), "kwargs": {"exc_info": True}}, {"args": 5},
                       {"args": None}, {"kwargs": []}, {"bogus": 1}],
}
PATCHES = ["getLogger", "Logger.addHandler", "Logger.removeHandler", "Logger.setLevel",
           "StreamHandler.close", "FileHandler", "colorlog.StreamHandler", "Filter.__init__"]


def resolve(path):
    obj = log_main
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


PART_MODES = ["raise", "wrong", "factory", "close"]
PARTS = st.one_of(PLAIN_PARTS, st.sampled_from(PART_MODES).map(lambda m: ("part", m)))


class FuzzState(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.prefix = f"fs_{uuid.uuid4().hex[:12]}_"
        self.tmp = tempfile.mkdtemp(prefix="log_main-fuzz-")
        self.objs = []  # every logger object made, closed or not
        self.counter = 0
        self.calls = 0
        self.in_emit = False
        self.in_reentry = False
        self.depth = 0
        self.level_method = log_main._LogBase.info
        self.allow = ()  # extra exceptions the current step allows
        self.saved_defaults = {
            (path, attr): getattr(resolve(path), attr) for path, attr in DEFAULT_TARGETS}
        for name in LEVEL_METHODS:
            fn = getattr(log_main._LogBase, name)
            self.saved_defaults[(f"_LogBase.{name}", "__kwdefaults__")] = fn.__kwdefaults__
        root = logging.getLogger()
        self.saved_root = (root.handlers[:], root.level, root.propagate, root.disabled,
                           root.filters[:])
        self.saved_root_entries = (log_main._LOGGERS.get("root"), log_main._CAPTURES.get("root"))
        self.saved_disable = logging.root.manager.disable
        self.saved_logger_class = logging.getLoggerClass()
        self.registries = (log_main._LOGGERS, log_main._CAPTURES, log_main._FHANDLERS)
        self.saved_stderr = sys.stderr
        self.err = io.StringIO()
        sys.stderr = self.err  # console handlers made during the run write here
        ARMED[0] = True
        for cls in (CloseReenters, EmitReenters, ReenterLogger):
            cls.machine = self
        self.saved_alarm = signal.signal(signal.SIGALRM, _on_alarm)
        self.arm_watchdog()

    # --- plumbing -----------------------------------------------------------

    def arm_watchdog(self):
        signal.setitimer(signal.ITIMER_REAL, STEP_TIMEOUT)
        faulthandler.dump_traceback_later(STEP_TIMEOUT * 4, exit=True, file=sys.__stderr__)

    def trace(self, text):
        if TRACE:
            with open(TRACE, "a", encoding="utf-8", errors="backslashreplace") as f:
                f.write(f"{os.getpid()} {text}\n")

    def api(self, fn, *args, **kwargs):
        """Calls into the module; returns (result, exception) and counts the call."""
        self.calls += 1
        self.depth += 1
        try:
            return fn(*args, **kwargs), None
        except Hang as exc:
            if self.depth > 1:
                raise
            raise AssertionError(f"{getattr(fn, '__qualname__', fn)} blocked "
                                 f"(a deadlock): {exc}") from None
        except (TypeError, ValueError, OSError, Hostile) + self.allow as exc:
            return None, exc
        finally:
            self.depth -= 1

    def made(self, result):
        if isinstance(result, log_main._LogBase):
            self.objs.append(result)

    def new_name(self):
        self.counter += 1
        return f"{self.prefix}n{self.counter}"

    def reenter(self, what, close_after=False):
        """What a hostile object does from inside a call: a factory call or a close.
        On a thread that holds _LOCK this raises RuntimeError, or hangs today."""
        if self.in_reentry:
            return
        self.in_reentry = True
        try:
            if what == "factory":
                result, _ = self.api(log_main.VarnelLog, self.new_name(), console=False)
                self.made(result)
                if close_after and result is not None:
                    self.api(result.close)
            elif self.objs:
                self.api(self.objs[-1].close)
        finally:
            self.in_reentry = False

    def set_defaults(self, fn, attr, value):
        try:
            setattr(fn, attr, value)
        except TypeError:
            pass

    def restore_defaults(self):
        for (path, attr), value in self.saved_defaults.items():
            setattr(resolve(path), attr, value)

    def pick(self, i):
        return self.objs[i % len(self.objs)]

    def name_for(self, which):
        pool = [f"{self.prefix}k{i}" for i in range(3)] + [f"{self.prefix}k0.c",
                                                           f"{self.prefix}lib0", f"{self.prefix}lib1"]
        if which == "new":
            return self.new_name()
        if which in (None, "", "root"):
            return which
        return pool[which % len(pool)]

    def file_for(self, which, kind):
        if which == "none":
            return None
        if which == "empty":
            return ""
        if which == "dir":
            return self.tmp
        if which == "shared":
            return os.path.join(self.tmp, "shared.log")
        if which == "deep":
            return os.path.join(self.tmp, "sub", "deeper", f"{kind}.log")
        return os.path.join(self.tmp, f"{which}.log")

    def logging_logger(self, which):
        name = self.name_for(which)
        return logging.getLogger(name) if name not in (None, "", "root") else logging.getLogger()

    # --- rules: the ordinary API ------------------------------------------------

    @initialize()
    def first(self):
        CallCounts.runs += 1

    @rule(name=st.one_of(st.just("new"), st.integers(0, 5), st.sampled_from([None, "", "root"])),
          level=st.one_of(LEVELS, LEVELS, ODD_LEVELS), where=st.sampled_from(
              ["none", "none", "file", "rotating", "timerotating", "shared", "dir", "deep", "empty"]),
          kind=KINDS, console=st.sampled_from([True, False, 0, 1, None, "", "raise"]),
          rehandler=st.sampled_from([True, False, True, "raise"]), options=OPTIONS,
          data=st.data())
    def factory(self, name, level, where, kind, console, rehandler, options, data):
        name = self.name_for(name)
        console = Truth("raise", self) if console == "raise" else console
        rehandler = Truth("raise", self) if rehandler == "raise" else rehandler
        kwargs = {k: data.draw(st.sampled_from(OPTION_VALUES[k]), label=k) for k in options}
        file = self.file_for(where, kind)
        self.trace(f"VarnelLog({name!r}, {level!r}, {file!r}, {kind!r}, {console!r}, "
                   f"{rehandler!r}, **{kwargs!r})")
        result, _ = self.api(log_main.VarnelLog, name, level, file, kind, console, rehandler,
                             **kwargs)
        self.made(result)

    @rule(cls=st.sampled_from(["_SetLogger", "_GetLogger"]),
          name=st.one_of(st.just("new"), st.integers(0, 5), st.just("root")),
          where=st.sampled_from(["none", "file", "rotating", "dir"]), kind=KINDS,
          console=st.booleans(), rehandler=st.booleans())
    def construct_directly(self, cls, name, where, kind, console, rehandler):
        name = self.name_for(name)
        args = [name, 10, self.file_for(where, kind), kind, console]
        if cls == "_GetLogger":
            args.append(rehandler)
        self.trace(f"{cls}(*{args!r})")
        result, _ = self.api(getattr(log_main, cls), *args)
        self.made(result)

    @precondition(lambda self: self.objs)
    @rule(i=st.integers(0, 1000), method=st.sampled_from(LEVEL_METHODS + ["_log"]),
          parts=st.lists(PARTS, max_size=4),
          args=st.one_of(st.none(), st.lists(PARTS, max_size=3).map(tuple), st.just([1]),
                         st.just(("only one",))),
          kwargs=LOG_KWARGS, use_defaults=st.booleans())
    def log(self, i, method, parts, args, kwargs, use_defaults):
        obj = self.pick(i)
        hostile = lambda p: Part(p[1], self) if type(p) is tuple and p[:1] == ("part",) else p
        parts = [hostile(p) for p in parts]
        if type(args) is tuple:
            args = tuple(hostile(a) for a in args)
        self.trace(f"objs[{self.objs.index(obj)}].{method}(*{parts!r}, args={args!r}, "
                   f"kwargs={kwargs!r})")
        if method == "_log":
            self.api(obj._log, 20, tuple(parts), *(() if use_defaults else (args, kwargs)))
        elif use_defaults:
            self.api(getattr(obj, method), *parts)
        else:
            self.api(getattr(obj, method), *parts, args=args, kwargs=kwargs)

    @precondition(lambda self: self.objs)
    @rule(i=st.integers(0, 1000), which=st.sampled_from(["set_console_level", "set_file_level"]),
          level=st.one_of(LEVELS, ODD_LEVELS))
    def set_level(self, i, which, level):
        self.trace(f"objs[{i % len(self.objs)}].{which}({level!r})")
        self.api(getattr(self.pick(i), which), level)

    @precondition(lambda self: self.objs)
    @rule(i=st.integers(0, 1000), value=st.sampled_from(
        ["disable", "own", "other", "root", None, 5, "x", "object", "raise", "logobj"]))
    def switch(self, i, value):
        obj = self.pick(i)
        self.trace(f"objs[{self.objs.index(obj)}] switch {value!r}")
        if value == "disable":
            self.api(obj.disable)
            return
        value = {"own": logging.getLogger(obj.name), "other": self.logging_logger(0),
                 "root": logging.getLogger(), "object": object(),
                 "raise": Truth("raise", self), "logobj": self.objs[0]}.get(value, value)
        self.api(obj.enable, value)

    @precondition(lambda self: self.objs)
    @rule(i=st.integers(0, 1000), extra=st.sampled_from([(), (), (1,)]))
    def close(self, i, extra):
        obj = self.pick(i)
        self.trace(f"objs[{self.objs.index(obj)}].close(*{extra!r})")
        self.api(obj.close, *extra)

    # --- rules: what other code does to logging between the calls ------------

    @rule(lib=st.integers(0, 1), shape=st.sampled_from(
        ["bare", "null", "prefix", "plain", "disabled", "file", "timed", "emit"]))
    def library_logger(self, lib, shape):
        """Shapes a logging logger as libraries leave theirs."""
        logger = logging.getLogger(f"{self.prefix}lib{lib}")
        self.trace(f"library lib{lib} {shape}")
        for h in logger.handlers[:]:
            logger.removeHandler(h)
            close_quietly(h)
        logger.setLevel(logging.NOTSET if shape == "bare" else logging.INFO)
        logger.propagate, logger.disabled = True, False
        handler = {
            "bare": None, "null": logging.NullHandler(),
            "prefix": PrefixHandler("lib: ", io.StringIO()), "plain": Plain(io.StringIO()),
            "disabled": logging.StreamHandler(io.StringIO()),
            "file": logging.FileHandler(os.path.join(self.tmp, f"lib{lib}.log")),
            "timed": logging.handlers.TimedRotatingFileHandler(
                os.path.join(self.tmp, f"lib{lib}.timed.log"), when="H", interval=1.5),
            "emit": EmitReenters(io.StringIO()),
        }[shape]
        if handler is not None:
            handler.set_name(f"{self.prefix}{shape}")
            handler.setFormatter(logging.Formatter("lib %(message)s"))
            logger.addHandler(handler)
        if shape == "disabled":
            logger.disabled = True  # what dictConfig(disable_existing_loggers=True) leaves

    @rule(which=st.one_of(st.integers(0, 5), st.just("root")), action=st.sampled_from(
        ["add", "add null", "add close raises", "remove", "remove keep open", "replace",
         "logger level", "handler level", "propagate", "disabled"]),
          n=st.integers(0, 10))
    def edit_handlers(self, which, action, n):
        """Changes a logging logger's handlers by hand."""
        logger = self.logging_logger(which)
        self.trace(f"edit {logger.name} {action} {n}")
        hs = logger.handlers
        if action == "add":
            logger.addHandler(logging.StreamHandler(io.StringIO()))
        elif action == "add null":
            logger.addHandler(logging.NullHandler())
        elif action == "add close raises":
            logger.addHandler(CloseRaises(io.StringIO()))
        elif action.startswith("remove") and hs:
            h = hs[n % len(hs)]
            logger.removeHandler(h)
            if action == "remove":
                close_quietly(h)
        elif action == "replace" and hs:
            hs[n % len(hs)] = logging.StreamHandler(io.StringIO())
        elif action == "logger level":
            logger.setLevel(n * 7)
        elif action == "handler level" and hs:
            hs[n % len(hs)].setLevel(n * 7)
        elif action == "propagate":
            logger.propagate = not logger.propagate
        elif action == "disabled":
            logger.disabled = not logger.disabled

    @rule(level=st.sampled_from([logging.NOTSET, logging.INFO, logging.CRITICAL]))
    def logging_disable(self, level):
        self.trace(f"logging.disable({level})")
        logging.disable(level)

    @rule(patch=st.sampled_from(PATCHES), call=st.sampled_from(["factory", "close"]),
          i=st.integers(0, 1000), rehandler=st.booleans())
    def patched_logging(self, patch, call, i, rehandler):
        """One call made while a logging function raises; restored at once."""
        owner, attr = {
            "getLogger": (logging, "getLogger"), "Logger.addHandler": (logging.Logger, "addHandler"),
            "Logger.removeHandler": (logging.Logger, "removeHandler"),
            "Logger.setLevel": (logging.Logger, "setLevel"),
            "StreamHandler.close": (logging.StreamHandler, "close"),
            "FileHandler": (logging, "FileHandler"),
            "colorlog.StreamHandler": (log_main.colorlog, "StreamHandler"),
            "Filter.__init__": (logging.Filter, "__init__"),
        }[patch]

        def refuse(*args, **kwargs):
            raise Hostile(patch)

        replacement = refuse
        real = getattr(owner, attr)
        if isinstance(real, type):
            # A class stays a class: logging.handlers calls logging.FileHandler.__init__.
            replacement = type(real.__name__, (real,), {"__init__": refuse})
        self.trace(f"patched {patch}: {call} {i} {rehandler}")
        self.with_patch(owner, attr, replacement, call, i, rehandler)

    def with_patch(self, owner, attr, replacement, call, i, rehandler):
        had, saved = attr in owner.__dict__, owner.__dict__.get(attr)
        setattr(owner, attr, replacement)
        try:
            if call == "factory" or not self.objs:
                name = self.name_for(i % 6) if rehandler else self.new_name()
                result, _ = self.api(log_main.VarnelLog, name, 10,
                                     os.path.join(self.tmp, "patched.log"), "file", True, rehandler)
                self.made(result)
            else:
                self.api(self.pick(i).close)
        finally:
            if had:
                setattr(owner, attr, saved)
            else:
                delattr(owner, attr)

    @rule(where=st.sampled_from(DEFAULT_TARGETS), value=st.integers(0, 100),
          i=st.integers(0, 1000), name=st.sampled_from(["new", 0]))
    def changed_defaults(self, where, value, i, name):
        """Defaults assigned before a call that relies on them; restored after it."""
        path, attr = where
        fn = resolve(path)
        values = DEFAULT_VALUES[attr]
        value = values[value % len(values)]
        self.trace(f"{path}.{attr} = {value!r}")
        self.set_defaults(fn, attr, value)
        try:
            if path == "VarnelLog.__new__":
                self.made(self.api(log_main.VarnelLog, self.name_for(name))[0])
            elif path in ("_SetLogger.__init__", "_GetLogger.__init__"):
                self.made(self.api(getattr(log_main, path.split(".")[0]), self.new_name())[0])
            elif self.objs:
                obj = self.pick(i)
                if path == "_LogBase._log":
                    self.api(obj._log, 20, ("%s", "defaults"))
                else:
                    self.api(getattr(obj, path.split(".")[1]), "%s", "defaults")
        finally:
            self.restore_defaults()

    @rule(how=st.sampled_from(["kwdefaults cleared by a part", "defaults shortened by a key"]),
          i=st.integers(0, 1000), method=st.sampled_from(LEVEL_METHODS))
    def defaults_during_call(self, how, i, method):
        """Defaults changed by user code that runs while the call is binding or using them."""
        self.trace(f"defaults during call: {how} {method}")
        try:
            if how.startswith("kwdefaults") and self.objs:
                self.level_method = getattr(log_main._LogBase, method)
                self.level_method.__kwdefaults__ = {"args": tuple(f"a{k}" for k in range(40)),
                                                    "kwargs": None}
                self.api(getattr(self.pick(i), method), "%s " * 40,
                         Part("clear kwdefaults", self))
            else:
                key = make_key("encoding", "shorten defaults", self)
                self.made(self.api(log_main.VarnelLog, self.new_name(), **{key: "utf-8"})[0])
        finally:
            self.restore_defaults()

    # --- rules that re-enter the module or break its registries (HOSTILE_RULES) ---

    @precondition(lambda self: "reenter_under_lock" in ENABLED)
    @rule(how=st.sampled_from(["console factory", "console close", "key eq factory",
                               "key eq close", "handler close"]),
          which=st.integers(0, 5), i=st.integers(0, 1000))
    def reenter_under_lock(self, how, which, i):
        """Python code the module runs while it holds _LOCK calls the factory or close."""
        self.trace(f"reenter under lock: {how} {which} {i}")
        self.allow = (RuntimeError,)
        try:
            name = self.name_for(which)
            if how.startswith("console"):
                console = Truth(how.split()[1], self)
                self.made(self.api(log_main.VarnelLog, name, 10, None, "file", console, True)[0])
            elif how.startswith("key"):
                key = make_key("encoding", how.split()[2], self)
                self.made(self.api(log_main.VarnelLog, name, 10,
                                   os.path.join(self.tmp, "key.log"), "file", False, True,
                                   **{key: "utf-8"})[0])
            else:  # a handler whose close() calls the factory
                self.logging_logger(which).addHandler(CloseReenters(io.StringIO()))
                if self.objs and i % 2:
                    self.api(self.pick(i).close)
                else:
                    self.made(self.api(log_main.VarnelLog, name, rehandler=True)[0])
        finally:
            self.allow = ()

    @precondition(lambda self: "reentrant_logger_class" in ENABLED)
    @rule(i=st.integers(0, 1000))
    def reentrant_logger_class(self, i):
        """A logging.setLoggerClass class whose __init__ calls the factory."""
        self.trace("setLoggerClass(ReenterLogger); VarnelLog(new)")
        self.allow = (RuntimeError,)
        logging.setLoggerClass(ReenterLogger)
        try:
            self.made(self.api(log_main.VarnelLog, self.new_name(), console=False)[0])
        finally:
            logging.setLoggerClass(self.saved_logger_class)
            self.allow = ()

    @precondition(lambda self: "reentrant_patch" in ENABLED)
    @rule(call=st.sampled_from(["factory", "close"]), i=st.integers(0, 1000),
          rehandler=st.booleans())
    def reentrant_patch(self, call, i, rehandler):
        """logging.getLogger replaced by a function that calls the factory first."""
        real = logging.getLogger

        def reentering(name=None):
            self.reenter("factory")
            return real(name)

        self.trace(f"getLogger re-enters: {call} {i} {rehandler}")
        self.allow = (RuntimeError,)
        try:
            self.with_patch(logging, "getLogger", reentering, call, i, rehandler)
        finally:
            self.allow = ()

    @precondition(lambda self: "break_registries" in ENABLED)
    @rule(which=st.integers(0, 5), how=st.sampled_from(
        ["kwargs not a dict", "handlers not a list", "handler_ids not a list", "record not a dict",
         "no handlers key", "no handler_ids key", "no kwargs key", "no type key",
         "type not a class", "handler record not a dict", "captures entry not a dict",
         "loggers entry not a dict", "stack value not a logger", "position not an int",
         "fhandlers kind", "fhandlers path"]),
          call=st.sampled_from(["close", "factory"]), i=st.integers(0, 1000))
    def break_registries(self, which, how, call, i):
        """A registry entry or capture record made malformed, then a call that reads it;
        the registries are repaired afterwards."""
        name = self.name_for(which)
        captures, loggers, fhandlers = log_main._CAPTURES, log_main._LOGGERS, log_main._FHANDLERS
        snapshot = Snapshot(name)
        self.trace(f"break {name} {how}, then {call} {i}")
        records = captures.get(name)
        record = next(iter(records.values())) if records else None
        first = record["handlers"][0] if record and record.get("handlers") else None
        if how == "kwargs not a dict" and first is not None:
            first["kwargs"] = 5
        elif how == "handlers not a list" and record is not None:
            record["handlers"] = 5
        elif how == "handler_ids not a list" and record is not None:
            record["handler_ids"] = {"a": 1}
        elif how == "record not a dict" and records:
            records[next(iter(records))] = [1, 2]
        elif how == "no handlers key" and record is not None:
            record.pop("handlers", None)
        elif how == "no handler_ids key" and record is not None:
            record.pop("handler_ids", None)
        elif how == "no kwargs key" and first is not None:
            first.pop("kwargs", None)
        elif how == "no type key" and first is not None:
            first.pop("type", None)
        elif how == "type not a class" and first is not None:
            first["type"] = 5
        elif how == "handler record not a dict" and record and record.get("handlers"):
            record["handlers"][0] = "handler"
        elif how == "captures entry not a dict":
            captures[name] = [0]
        elif how == "loggers entry not a dict":
            loggers[name] = 5
        elif how == "stack value not a logger" and loggers.get(name):
            stack = loggers[name]
            stack[max(stack)] = "not a logger"
        elif how == "position not an int" and loggers.get(name):
            loggers[name]["1"] = loggers[name].pop(max(loggers[name]))
        elif how == "fhandlers kind":
            fhandlers[os.path.join(self.tmp, "file.log")] = 5
        elif how == "fhandlers path":
            fhandlers[5] = "file"
        try:
            if call == "close" and self.objs:
                self.api(self.pick(i).close)
            else:
                self.made(self.api(log_main.VarnelLog, name, 10,
                                   os.path.join(self.tmp, "file.log"), "file", True, True)[0])
        finally:
            snapshot.repair()

    # --- after every step -------------------------------------------------------

    @invariant()
    def healthy(self):
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert lock_is_free(), "_LOCK left held"
        assert all(a is b for a, b in zip(
            (log_main._LOGGERS, log_main._CAPTURES, log_main._FHANDLERS), self.registries))
        check_registries()
        self.err.seek(0)
        self.err.truncate()
        self.arm_watchdog()

    def teardown(self):
        signal.setitimer(signal.ITIMER_REAL, 0)
        ARMED[0] = False
        try:
            self.restore_defaults()
            logging.setLoggerClass(self.saved_logger_class)
            logging.disable(self.saved_disable)
            self.clean_up()
        finally:
            sys.stderr = self.saved_stderr
            signal.signal(signal.SIGALRM, self.saved_alarm)
            faulthandler.cancel_dump_traceback_later()
            for cls in (CloseReenters, EmitReenters, ReenterLogger):
                cls.machine = None
            CallCounts.total += self.calls

    def clean_up(self):
        """Closes what the run made and leaves logging and the registries as they were."""
        ours = lambda n: type(n) is str and n.startswith(self.prefix)
        for name in [n for n in list(log_main._LOGGERS) if ours(n)]:
            for _ in range(50):
                stack = log_main._LOGGERS.get(name)
                if not stack:
                    break
                try:
                    stack[max(stack)].close()
                except Exception:
                    break
        for registry in (log_main._LOGGERS, log_main._CAPTURES):
            for name in [n for n in list(registry) if ours(n)]:
                del registry[name]
        for path in [p for p in list(log_main._FHANDLERS)
                     if type(p) is not str or p.startswith(self.tmp)]:
            del log_main._FHANDLERS[path]
        manager = logging.Logger.manager
        for name in [n for n in list(manager.loggerDict) if ours(n)]:
            lg = manager.loggerDict.pop(name)
            for h in getattr(lg, "handlers", [])[:]:
                lg.removeHandler(h)
                close_quietly(h)
        for obj in self.objs:
            for attr in ("_file_handler", "_console_handler"):
                h = getattr(obj, attr, None)
                if isinstance(h, logging.Handler):
                    close_quietly(h)
        root = logging.getLogger()
        handlers, level, propagate, disabled, filters = self.saved_root
        for h in root.handlers[:]:
            if h not in handlers:
                root.removeHandler(h)
                close_quietly(h)
        root.handlers[:] = handlers
        root.filters[:] = filters
        root.setLevel(level)
        root.propagate, root.disabled = propagate, disabled
        for registry, saved in zip((log_main._LOGGERS, log_main._CAPTURES),
                                   self.saved_root_entries):
            if saved is None:
                registry.pop("root", None)
            else:
                registry["root"] = saved
        shutil.rmtree(self.tmp, ignore_errors=True)


class Snapshot:
    """What break_registries may break for one name, to put back afterwards while
    keeping what the call itself did to the well-formed parts."""

    def __init__(self, name):
        self.name = name
        self.stack = copy.copy(log_main._LOGGERS.get(name))
        self.records = copy.copy(log_main._CAPTURES.get(name))
        self.fhandlers = dict(log_main._FHANDLERS)
        # each record dict and each handler record dict, with a copy of its contents
        self.contents = []
        for record in (self.records or {}).values():
            if type(record) is dict:
                handlers = record.get("handlers")
                self.contents.append((record, dict(record), handlers,
                                      list(handlers) if type(handlers) is list else None))
                for h in handlers if type(handlers) is list else ():
                    if type(h) is dict:
                        self.contents.append((h, dict(h), None, None))

    def repair(self):
        for obj, contents, handlers, items in self.contents:
            obj.clear()
            obj.update(contents)
            if items is not None:
                handlers[:] = items
        fh = log_main._FHANDLERS
        for path, kind in list(fh.items()):
            if type(path) is not str or kind not in ("file", "rotating", "timerotating"):
                if path in self.fhandlers:
                    fh[path] = self.fhandlers[path]
                else:
                    del fh[path]
        for registry, saved, good in ((log_main._LOGGERS, self.stack, _good_stack),
                                      (log_main._CAPTURES, self.records, _good_records)):
            if self.name in registry and not good(registry[self.name]):
                if saved:
                    registry[self.name] = saved
                else:
                    del registry[self.name]


def _good_stack(stack):
    return type(stack) is dict and all(
        type(p) is int and isinstance(o, log_main._LogBase) for p, o in stack.items())


def _good_records(records):
    return type(records) is dict and all(
        type(p) is int and type(r) is dict for p, r in records.items())


class CallCounts:
    runs = 0
    total = 0


FuzzState.TestCase.settings = settings(
    deadline=None, database=None, suppress_health_check=list(HealthCheck), **budget())
TestFuzzState = FuzzState.TestCase
# A construction that a hostile patch made fail is undone; what the same patch
# breaks during the undo is reported as unraisable, which is expected here.
TestFuzzState = pytest.mark.filterwarnings(
    "ignore:Exception ignored while undoing:pytest.PytestUnraisableExceptionWarning")(TestFuzzState)


def teardown_module():
    path = os.environ.get("LOG_MAIN_FUZZ_COUNTS")
    if path:
        with open(path, "w") as f:
            f.write(f"{CallCounts.total} {CallCounts.runs}\n")
