"""Every example runs and does what the README says, and the README shows each one as it is.

Each example runs in a subprocess whose current directory is a fresh temporary
directory (the examples write into ./logs), with NO_COLOR and FORCE_COLOR
removed from the environment so that colorlog's defaults apply.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import ESCAPE, record_line

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
README = ROOT / "README.md"

# "time - name - LEVEL - message", optionally wrapped in colorlog's escapes.
LINE = re.compile(f"^(?P<esc>(?:{ESCAPE})*)"
                  + record_line(r"(?P<name>\S+)", r"(?P<level>[A-Z]+)", r"(?P<msg>.*?)")
                  + r"(?P<reset>\x1b\[0m)?$")
GREEN, YELLOW, RED = "\x1b[32m", "\x1b[33m", "\x1b[31m"


def run_example(name, cwd, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR")}
    r = subprocess.run([sys.executable, "-X", "dev", str(EXAMPLES / name), *args], cwd=cwd,
                       env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, f"{name}\n--- stdout\n{r.stdout}\n--- stderr\n{r.stderr}"
    # -X dev shows ResourceWarning (an unclosed file) and other warnings.
    assert not re.search(r"\w+Warning: ", r.stderr), r.stderr
    return r


def records(text):
    """[(escape prefix, name, level, message)] of the log lines in text; other lines skipped."""
    return [(m["esc"], m["name"], m["level"], m["msg"])
            for m in map(LINE.match, text.splitlines()) if m]


def file_records(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    out = [(m["name"], m["level"], m["msg"]) for m in map(LINE.match, lines) if m]
    assert len(out) == len(lines), lines
    assert not any("\x1b" in line for line in lines)
    return out


def check_basic(tmp_path):
    r = run_example("basic.py", tmp_path, str(tmp_path / "out"))
    expected = [
        ("example.app", "DEBUG", "debug details {'attempt': 1}"),
        ("example.app", "INFO", "started 3 workers"),
        ("example.app", "WARNING", "disk at 91 %"),
        ("example.app", "ERROR", "request failed: bad input"),
        ("example.app", "CRITICAL", "shutting down"),
    ]
    assert file_records(tmp_path / "out" / "logs" / "app.log") == [
        *expected, ("example.app", "INFO", "only in the file")]
    console = records(r.stderr)
    # The five coloured console lines, then the file echoed by the script.
    assert [c[1:] for c in console[:5]] == expected
    assert [c[0] for c in console[:5]] == ["\x1b[34m", GREEN, YELLOW, RED, "\x1b[1;31m\x1b[47m"]
    assert all(c[0] == "" for c in console[5:]) and len(console) == 11


def check_file_kinds(tmp_path):
    r = run_example("file_kinds.py", tmp_path)
    out = r.stdout.splitlines()
    assert out[:3] == ["file: utf-8 a", "rotating: 104857600 5", "timerotating: MIDNIGHT 365"]
    listing = eval(out[3])  # noqa: S307 - the repr of a list of file names
    assert listing[:2] == ["plain.log", "rotating.log"] and listing[3] == "run.log"
    assert re.fullmatch(r"run\.\d{4}-\d\d-\d\d\.log", listing[2]), listing
    assert out[4] == "/srv/my.logs/run.2024-05-01.log"
    logs = tmp_path / "logs"
    assert file_records(logs / listing[2]) == [("kinds.timed", "INFO", "before the rollover")]
    assert file_records(logs / "run.log") == [("kinds.timed", "INFO", "after the rollover")]
    assert file_records(logs / "plain.log") == []


def check_levels(tmp_path):
    r = run_example("levels.py", tmp_path)
    in_file = [("levels.app", "INFO", "INFO: in the file only"),
               ("levels.app", "WARNING", "WARNING: on the console and in the file"),
               ("levels.app", "ERROR", "ERROR: on both")]
    assert file_records(tmp_path / "logs" / "levels.log") == in_file
    assert r.stdout.splitlines()[:3] == ["logger level: 20", "logger level: 30", "info enabled: False"]
    assert [c[1:] for c in records(r.stderr)] == [
        ("levels.app", "WARNING", "WARNING: on the console and in the file"),
        ("levels.app", "WARNING", "WARNING: on the console only"),
        ("levels.app", "ERROR", "ERROR: on both")]


def check_switching(tmp_path):
    r = run_example("switching.py", tmp_path)
    expected = [
        ("switching.app", "INFO", "written: the handlers are still attached to the logging logger"),
        ("switching.app", "INFO", "written: enabled again")]
    assert file_records(tmp_path / "logs" / "switching.log") == expected
    assert [c[1:] for c in records(r.stderr)] == expected
    assert [c[1:] for c in records(r.stdout)] == expected  # the file, printed


def check_take_over(tmp_path):
    r = run_example("take_over.py", tmp_path)
    assert r.stdout.splitlines() == [
        "library format: the library logs its own way",
        "library format: the library logs its own way again",
        "same handler: True",
        "level: 20 propagate: True",
    ]
    ours = [("thirdparty", "WARNING", "the library's own calls now go to our console and file"),
            ("thirdparty", "INFO", "and so do ours, under the same name")]
    assert file_records(tmp_path / "logs" / "thirdparty.log") == ours
    assert [c[1:] for c in records(r.stderr)] == ours
    assert "library format" not in r.stderr


def check_blocks(tmp_path):
    r = run_example("blocks.py", tmp_path)
    path = tmp_path / "logs" / "db.log"
    shown = f"<_GetLogger 'thirdparty.db' file={str(path)!r} (file) console_level=DEBUG file_level=DEBUG"
    assert r.stdout.splitlines() == [shown + ">", shown + " closed>", "level: 30"]
    lines = path.read_text(encoding="utf-8").splitlines()
    assert [m.groups() for m in map(LINE.match, lines[:2])] == [
        ("", "thirdparty.db", "INFO", "the library's INFO records reach our console and file", None),
        ("", "thirdparty.db", "ERROR", "parse failed", None)]
    assert lines[2] == "Traceback (most recent call last):" and lines[-1] == (
        "ValueError: invalid literal for int() with base 10: 'not a number'")


def check_stacking(tmp_path):
    r = run_example("stacking.py", tmp_path)
    assert [c[1:] for c in records(r.stderr)] == [
        ("stack.svc", "INFO", "shown: second is the top"),
        ("stack.svc", "INFO", "shown: first is the top again")]
    assert "not shown" not in r.stderr


def check_child_logger(tmp_path):
    r = run_example("child_logger.py", tmp_path)
    assert r.stdout.splitlines() == ["True 42", "new logging loggers: 100"]
    console = records(r.stderr)
    assert len(console) == 2
    assert re.fullmatch(r"known\.[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                        console[0][1]), console[0]
    assert console[0][3] == "this line shows the child name"
    assert console[1][1:] == ("known", "INFO", "this line shows the name itself")


def check_threads(tmp_path):
    r = run_example("threads.py", tmp_path)
    assert r.stdout.splitlines() == ["lines: 800"]
    shared = file_records(tmp_path / "logs" / "threads.log")
    assert sorted(m for _, _, m in shared) == sorted(
        f"worker {n} line {i}" for n in range(8) for i in range(100))
    for n in range(8):
        assert file_records(tmp_path / "logs" / f"worker{n}.log") == [
            (f"threads.worker{n}", "DEBUG", f"private line {i}") for i in range(100)]
    assert records(r.stderr) == []  # console=False everywhere


def check_no_color(tmp_path):
    r = run_example("no_color.py", tmp_path)
    console = records(r.stderr)
    assert [(c[0], c[3]) for c in console] == [
        (GREEN, "coloured"), ("", "plain"), (GREEN, "coloured again")]
    assert r.stderr.count("\x1b[") == 4  # two lines, each colour + reset


CHECKS = {
    "basic.py": check_basic,
    "file_kinds.py": check_file_kinds,
    "levels.py": check_levels,
    "switching.py": check_switching,
    "take_over.py": check_take_over,
    "blocks.py": check_blocks,
    "stacking.py": check_stacking,
    "child_logger.py": check_child_logger,
    "threads.py": check_threads,
    "no_color.py": check_no_color,
}


def test_every_example_has_a_check():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(CHECKS)


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_example_runs(name, tmp_path):
    CHECKS[name](tmp_path)


def _readme_blocks():
    """{path: code} for every `<!-- example: path -->` marker and the block after it."""
    text = README.read_text(encoding="utf-8")
    found = re.findall(r"^<!-- example: (\S+) -->\n```python\n(.*?)^```$", text, re.M | re.S)
    markers = re.findall(r"^<!-- example: (\S+) -->$", text, re.M)
    assert len(found) == len(markers), "a marker without a python block right after it"
    return dict(found)


def test_readme_shows_every_example_as_it_is():
    blocks = _readme_blocks()
    assert sorted(blocks) == sorted(f"examples/{n}" for n in CHECKS)
    for path, code in blocks.items():
        assert code == (ROOT / path).read_text(encoding="utf-8"), f"README copy of {path} differs"


def test_readme_links_resolve():
    text = README.read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#]+)\)", text)
    assert "docs/console.png" in targets
    for target in targets:
        assert (ROOT / target).exists(), target
    png = (ROOT / "docs" / "console.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
