"""The type stub src/log_main.pyi, proved with the real checkers.

- mypy --strict accepts the examples and tests/typing/good_usage.py;
- mypy --strict reports exactly the marked mistakes of tests/typing/bad_usage.py;
- mypy.stubtest finds no disagreement between the stub and the built module,
  and does find one in a stub that has been broken on purpose.

mypy is run from the repository root with pyproject.toml, whose
`mypy_path = "src"` points it at the stub.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import needs_mypy_2

pytestmark = needs_mypy_2

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
STUB = ROOT / "src" / "log_main.pyi"
ALLOWLIST = TYPING / "stubtest_allowlist.txt"

# "path:line:col: error: message  [code]"
ERROR_RE = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+):(?P<col>\d+): error: (?P<msg>.*?)  \[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def _env():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)  # only pyproject.toml decides where the stub is
    return env


def run_mypy(cache, *args):
    cmd = [sys.executable, "-m", "mypy", "--strict", "--config-file", "pyproject.toml",
           "--cache-dir", str(cache), "--show-error-codes", "--show-column-numbers",
           "--no-color-output", *args]
    env = _env()
    # mypy never imports log_main: it needs no sanitizer runtime (LOG_MAIN_SANITIZE=1).
    if "asan" in env.get("LD_PRELOAD", ""):
        del env["LD_PRELOAD"]
    return subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)


def test_examples_and_good_usage_pass_strict(mypy_cache):
    examples = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "examples").glob("*.py"))
    assert examples, "no examples found"
    files = [*examples, "tests/typing/good_usage.py"]
    r = run_mypy(mypy_cache, *files)
    assert r.returncode == 0, r.stdout + r.stderr
    # Every file was checked (none skipped as unreachable or excluded).
    assert f"Success: no issues found in {len(files)} source files" in r.stdout, r.stdout


def test_good_usage_also_runs(tmp_path):
    """What good_usage.py states to mypy holds at run time too."""
    r = subprocess.run([sys.executable, str(TYPING / "good_usage.py"), str(tmp_path)],
                       cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.strip().endswith("good_usage: ok")
    assert (tmp_path / "logs" / "typed.log").is_file()


def _expected_errors(path):
    expected = set()
    for lineno, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        m = re.search(r"#\s*expect:\s*([a-z-]+)\s*$", line)
        if m:
            expected.add((lineno, m.group(1)))
    return expected


def test_bad_usage_reports_exactly_the_marked_errors(mypy_cache):
    bad = TYPING / "bad_usage.py"
    expected = _expected_errors(bad)
    assert {code for _, code in expected} == {"arg-type", "call-arg", "attr-defined"}
    r = run_mypy(mypy_cache, "tests/typing/bad_usage.py")
    assert r.returncode == 1, r.stdout + r.stderr
    errors = [m for m in map(ERROR_RE.match, r.stdout.splitlines()) if m]
    got = {(int(m["line"]), m["code"]) for m in errors}
    assert got == expected, r.stdout
    assert len(errors) == len(expected), r.stdout
    messages = {m["code"]: m["msg"] for m in errors}
    assert messages["arg-type"] == ('Argument 1 to "set_console_level" of "_LogBase" has '
                                    'incompatible type "str"; expected "int"')
    assert messages["call-arg"] == 'Unexpected keyword argument "extra" for "info" of "_LogBase"'
    assert messages["attr-defined"] == '"_LogBase" has no attribute "fatal"'
    assert f"Found {len(expected)} errors in 1 file" in r.stdout


def _stubtest(*args, env=None, cwd=ROOT):
    cmd = [sys.executable, "-m", "mypy.stubtest", "log_main", *args]
    return subprocess.run(cmd, cwd=cwd, env=env or _env(), capture_output=True, text=True,
                          timeout=300)


def test_stubtest_agrees_with_the_built_module():
    r = _stubtest("--mypy-config-file", "pyproject.toml", "--allowlist", str(ALLOWLIST))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Success: no issues found in 1 module" in r.stdout, r.stdout


def test_allowlist_entries_have_reasons():
    lines = ALLOWLIST.read_text(encoding="utf-8").splitlines()
    for i, line in enumerate(lines):
        entry = line.split("#", 1)[0].strip()
        if not entry:
            continue
        reason = "#" in line or (i > 0 and lines[i - 1].lstrip().startswith("#"))
        assert reason, f"allowlist entry without a reason: {line!r}"


@pytest.mark.parametrize(
    "broken, complaint",
    [
        # a renamed parameter
        (("def set_file_level(self, level: int)", "def set_file_level(self, lvl: int)"),
         'log_main._LogBase.set_file_level is inconsistent, stub parameter "lvl" differs '
         'from runtime parameter "level"'),
        # a wrong default
        (('handler_type: str = "file",\n        console: bool = True,\n        rehandler',
          'handler_type: str = "rotating",\n        console: bool = True,\n        rehandler'),
         "log_main.VarnelLog.__new__ is inconsistent, runtime parameter \"handler_type\" "
         "has a default value of 'file'"),
        # a method the module does not have
        (("    def close(self) -> None:", "    def flush(self) -> None: ...\n    def close(self) -> None:"),
         "log_main._LogBase.flush is not present at runtime"),
    ],
    ids=["renamed-parameter", "wrong-default", "extra-method"],
)
def test_stubtest_catches_a_broken_stub(tmp_path, broken, complaint):
    """The check above is live: the same run on a damaged copy of the stub fails."""
    old, new = broken
    text = STUB.read_text(encoding="utf-8")
    assert old in text
    (tmp_path / "log_main.pyi").write_text(text.replace(old, new, 1), encoding="utf-8")
    env = _env()
    env["MYPYPATH"] = str(tmp_path)
    r = _stubtest("--allowlist", str(ALLOWLIST), env=env, cwd=tmp_path)
    assert r.returncode == 1, r.stdout + r.stderr
    assert complaint in r.stdout, r.stdout
