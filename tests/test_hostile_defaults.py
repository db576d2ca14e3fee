"""Defaults reassigned by user code in the middle of a call: the call goes on with the
defaults it started with, and the interpreter survives. Each case runs in a fresh
interpreter, since a regression here is a crash."""

import json
import textwrap

import pytest
from conftest import run_python


def run(code, *argv):
    proc = run_python("-X", "dev", "-c", textwrap.dedent(code), *argv)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_level_method_keeps_its_keyword_defaults_while_parts_are_converted():
    out = run("""
        import io, json, uuid
        from log_main import VarnelLog, _LogBase

        log = VarnelLog(f"hostile_{uuid.uuid4().hex}")
        log._console_handler.setStream(io.StringIO())

        class Part:
            def __str__(self):
                _LogBase.info.__kwdefaults__.clear()
                return "part"

        _LogBase.info.__kwdefaults__ = {"args": tuple(f"a{i}" for i in range(40)), "kwargs": None}
        log.info("%s " * 40, Part())
        line = log._console_handler.stream.getvalue().splitlines()[-1]
        print(json.dumps(line.split(" - ", 3)[-1].split("\\x1b")[0]))
    """)
    assert out == " ".join(f"a{i}" for i in range(40)) + "  part"


@pytest.mark.parametrize("replacement, after", [("None", None), ("(20,)", [20])])
def test_factory_binds_with_the_defaults_it_started_with(replacement, after):
    out = run("""
        import json, sys, uuid
        from log_main import VarnelLog

        class Key(str):
            hashes = 0

            def __hash__(self):
                Key.hashes += 1
                if Key.hashes == 2:  # the first is the dict display's own
                    VarnelLog.__new__.__defaults__ = eval(sys.argv[1])
                return str.__hash__(self)

        obj = VarnelLog(f"hostile_{uuid.uuid4().hex}", **{Key("maxBytes"): 1})
        seen = [obj.file, obj.handler_type, obj.console, obj.console_level, obj.kwargs,
                VarnelLog.__new__.__defaults__]
        obj.close()
        print(json.dumps(seen))
    """, replacement)
    assert out == [None, "file", True, 10, {"maxBytes": 1}, after]
