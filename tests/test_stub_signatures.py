"""The stub against the live module, and what help() shows.

The stub src/log_main.pyi is parsed with ast and compared with the imported
module: every function's inspect.signature (parameter names, kinds, which
parameters have defaults, the literal defaults and the annotations), the module
names, the classes and their methods, and the instance attributes (which
stubtest cannot see). pydoc must render every function as a function, with its
signature and its docstring.
"""

import ast
import builtins
import inspect
import logging
import pydoc
import typing
from pathlib import Path

import pytest

import log_main

STUB = Path(__file__).resolve().parent.parent / "src" / "log_main.pyi"
MODULE_DUNDERS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def _stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def _bound_names(tree):
    """Names the stub makes part of the module (re-exported imports, defs, variables)."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                # `import x as x` / `from m import x as x` re-export; others are private.
                if alias.asname is not None and alias.asname == alias.name.split(".")[-1]:
                    names.add(alias.asname)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
    return names


def _stub_classes(tree):
    return {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}


def _stub_functions(tree):
    """(qualname, ast.FunctionDef) for every function and method of the stub."""
    out = [(n.name, n) for n in tree.body if isinstance(n, ast.FunctionDef)]
    for cls in _stub_classes(tree).values():
        out += [(f"{cls.name}.{n.name}", n) for n in cls.body if isinstance(n, ast.FunctionDef)]
    return out


def _runtime_function(qualname):
    if "." not in qualname:
        return getattr(log_main, qualname)
    cls_name, meth = qualname.split(".")
    raw = vars(getattr(log_main, cls_name))[meth]
    return raw.__func__ if isinstance(raw, staticmethod) else raw


def _stub_params(fn):
    """[(name, kind, default node or None, annotation text or None)] of a stub def."""
    a = fn.args
    P = inspect.Parameter
    out = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for i, (arg, d) in enumerate(zip(positional, defaults)):
        kind = P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        out.append((arg.arg, kind, d, arg.annotation))
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, None, a.vararg.annotation))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, P.KEYWORD_ONLY, d, arg.annotation))
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, None, a.kwarg.annotation))
    return [(n, k, d, None if ann is None else ast.unparse(ann)) for n, k, d, ann in out]


def _unquote(annotation):
    # The module stores annotations as text; "'_LogBase'" is a forward reference.
    return annotation.strip("'\"") if isinstance(annotation, str) else annotation


STUB_FUNCTIONS = _stub_functions(_stub_tree())


def test_the_stub_covers_every_function_of_the_module():
    in_stub = {q for q, _ in STUB_FUNCTIONS}
    at_runtime = {"_md5"}
    for name in ("_ContextFilter", "_LogBase", "VarnelLog", "_SetLogger", "_GetLogger"):
        for attr, value in vars(getattr(log_main, name)).items():
            if isinstance(value, staticmethod) or callable(value):
                at_runtime.add(f"{name}.{attr}")
    assert in_stub == at_runtime
    assert len(in_stub) == 26  # _md5 and the 25 methods of the method table


@pytest.mark.parametrize("qualname, fn", STUB_FUNCTIONS, ids=[q for q, _ in STUB_FUNCTIONS])
def test_signature_matches_the_stub(qualname, fn):
    runtime = _runtime_function(qualname)
    sig = inspect.signature(runtime)
    stub = _stub_params(fn)
    got = [(p.name, p.kind) for p in sig.parameters.values()]
    assert got == [(n, k) for n, k, _, _ in stub]
    for (name, _, default, ann), p in zip(stub, sig.parameters.values()):
        assert (p.default is not p.empty) == (default is not None), name
        if default is not None and not (isinstance(default, ast.Constant) and default.value is ...):
            assert p.default == ast.literal_eval(default), name
            assert type(p.default) is type(ast.literal_eval(default)), name
        if p.annotation is not p.empty:
            assert _unquote(p.annotation) == ann, name
    if sig.return_annotation is not sig.empty:
        assert fn.returns is not None
        assert _unquote(sig.return_annotation) == ast.unparse(fn.returns)


def test_module_names_match_the_stub():
    tree = _stub_tree()
    assert _bound_names(tree) == set(vars(log_main)) - MODULE_DUNDERS
    stub_all = next(n for n in tree.body if isinstance(n, ast.Assign)
                    and n.targets[0].id == "__all__")
    assert ast.literal_eval(stub_all.value) == log_main.__all__ == ["VarnelLog"]


def test_classes_and_bases_match_the_stub():
    classes = _stub_classes(_stub_tree())
    assert set(classes) == {n for n, v in vars(log_main).items()
                            if isinstance(v, type) and v.__module__ == "log_main"}
    for name, node in classes.items():
        runtime = getattr(log_main, name)
        bases = [ast.unparse(b) for b in node.bases]
        expected = [f"{b.__module__}.{b.__qualname__}" if b.__module__ != "log_main"
                    else b.__qualname__ for b in runtime.__bases__ if b is not object]
        assert bases == expected, name


# Namespace in which the stub's attribute annotations are evaluated.
_EVAL_NS = {"Optional": typing.Optional, "Dict": dict, "Any": typing.Any, "Tuple": tuple,
            "TextIO": typing.TextIO, "logging": logging, "Lock": log_main.Lock, **{
                n: getattr(log_main, n) for n in ("_ContextFilter", "_LogBase")}}


def _conforms(value, hint):
    """A shallow isinstance check of value against a typing hint."""
    if hint is typing.Any:
        return True
    origin = typing.get_origin(hint)
    if origin is typing.Union:
        return any(_conforms(value, h) for h in typing.get_args(hint))
    if hint is type(None):
        return value is None
    if origin is dict:
        k, v = typing.get_args(hint)
        return isinstance(value, dict) and all(
            _conforms(a, k) and _conforms(b, v) for a, b in value.items())
    return isinstance(value, origin or hint)


def _stub_attributes(class_name):
    node = _stub_classes(_stub_tree())[class_name]
    return {n.target.id: eval(ast.unparse(n.annotation), dict(_EVAL_NS))  # noqa: S307
            for n in node.body if isinstance(n, ast.AnnAssign)}


def test_instance_attributes_match_the_stub(tmp_path, fresh_name):
    """stubtest cannot see attributes set in __init__: compare them here."""
    base = _stub_attributes("_LogBase")
    get_own = _stub_attributes("_GetLogger")
    name = fresh_name()
    objects = [
        log_main.VarnelLog(name, file=str(tmp_path / "a.log"), handler_type="rotating"),
        log_main.VarnelLog(name, console=False, rehandler=True),   # capture, no handlers
        log_main.VarnelLog(name, file=str(tmp_path / "c.log")),    # child logger
        log_main.VarnelLog(fresh_name(), console=False, file=str(tmp_path / "d.log")),
    ]
    objects[0].disable()  # _logger None is allowed too
    try:
        for obj in objects:
            expected = dict(base)
            if isinstance(obj, log_main._GetLogger):
                expected.update(get_own)
            assert set(vars(obj)) == set(expected), type(obj).__name__
            for attr, hint in expected.items():
                assert _conforms(getattr(obj, attr), hint), (attr, getattr(obj, attr), hint)
    finally:
        for obj in reversed(objects):
            obj.close()
    f = log_main._ContextFilter(name)
    for attr, hint in _stub_attributes("_ContextFilter").items():
        assert _conforms(getattr(f, attr), hint)


def test_registry_annotations_hold(tmp_path, fresh_name):
    tree = _stub_tree()
    hints = {n.target.id: eval(ast.unparse(n.annotation), dict(_EVAL_NS))  # noqa: S307
             for n in tree.body if isinstance(n, ast.AnnAssign)}
    name = fresh_name()
    a = log_main.VarnelLog(name, file=str(tmp_path / "r.log"))
    b = log_main.VarnelLog(name, rehandler=True)
    try:
        assert log_main._LOGGERS[name] and log_main._CAPTURES[name]  # both filled
        assert set(hints) == {"_LOGGERS", "_FHANDLERS", "_CAPTURES", "_fformatter",
                              "_cformatter", "_colors", "_LOCK"}
        for attr, hint in hints.items():
            assert _conforms(getattr(log_main, attr), hint), attr
    finally:
        b.close()
        a.close()


# --- help() and pydoc ------------------------------------------------------------


def _help_text(obj, monkeypatch):
    shown = []
    monkeypatch.setattr(pydoc, "pager", lambda text, title="": shown.append(text))
    builtins.help(obj)
    assert len(shown) == 1
    return pydoc.plain(shown[0])


@pytest.mark.parametrize("qualname, fn", STUB_FUNCTIONS, ids=[q for q, _ in STUB_FUNCTIONS])
def test_help_shows_signature_and_doc(qualname, fn, monkeypatch):
    func = _runtime_function(qualname)
    text = _help_text(func, monkeypatch)
    head = text.splitlines()
    # pydoc takes our function type for a function of this module (its title has
    # no name: pydoc.describe names only types.FunctionType objects) ...
    assert head[0] in (f"Help on function {func.__name__} in module log_main:",
                       "Help on function in module log_main:"), head[0]
    # ... shows the real signature, not "(...)" ...
    sig = inspect.signature(func)
    assert pydoc.render_doc(func, renderer=pydoc.plaintext).count("(...)") == 0
    rendered = text.replace("\n", " ")
    assert f"{func.__name__}(" in rendered
    for p in sig.parameters.values():
        assert p.name in rendered
    # ... and the docstring, which is the signature line with its checked types.
    assert func.__doc__ and func.__doc__.startswith(qualname + "(")
    assert func.__doc__ in text


def test_help_on_a_logger_objects_methods(monkeypatch, fresh_name):
    log = log_main.VarnelLog(fresh_name(), console=False)
    try:
        for meth in ("debug", "info", "warning", "error", "critical", "set_console_level",
                     "set_file_level", "disable", "enable", "close", "exception", "__exit__"):
            text = _help_text(getattr(log, meth), monkeypatch)
            assert text.startswith(f"Help on method {meth} in module log_main:")
            first = text.split("\n\n", 1)[1]
            # The bound method's signature drops self and names the class.
            assert first.startswith(f"{meth}(")
            assert "method of log_main._SetLogger instance" in first
            assert "(self" not in first.split("\n    _LogBase.")[0]
            assert f"_LogBase.{meth}(self" in text
    finally:
        log.close()


def test_help_on_the_module(monkeypatch):
    text = _help_text(log_main, monkeypatch)
    assert text.startswith("Help on module log_main:")
    assert log_main.__doc__.splitlines()[0] in text
    # __all__ decides what pydoc lists: the factory, with its full signature.
    classes = text.split("CLASSES", 1)[1].split("DATA", 1)[0]
    assert "class VarnelLog(builtins.object)" in classes
    for p in ("name: 'Optional[str]'", "level: 'int' = 10", "file: 'Optional[str]' = None",
              "handler_type: 'str' = 'file'", "console: 'bool' = True",
              "rehandler: 'bool' = False", "**kwargs"):
        assert p in classes, p
    assert "_LogBase" not in classes.split("Static methods")[0].replace("'_LogBase'", "")
    assert "__all__ = ['VarnelLog']" in text
