"""Packaging: the release wheel, an sdist, and the release matrix.

The wheel is built from the source tree by scripts/wheel.sh (`pip wheel .`,
then `auditwheel repair` to manylinux_2_17), the sdist with
`python -m build --sdist`, and a second wheel from that sdist. The manylinux
wheel is installed into a fresh virtual environment that cannot see the source
tree or the development venv; from another directory the test imports
log_main, runs an example, reads the metadata and type-checks against the
installed stub. cibuildwheel lists the wheels of the release matrix.

Everything works offline: the builds reuse this venv's scikit-build-core, CMake
and Ninja (--no-build-isolation, separate build directories so the development
build in build/ is not touched), and colorlog, the one dependency, is installed
into the fresh venv from a wheel made of the copy installed here.
"""

import base64
import hashlib
import importlib.machinery
import importlib.metadata
import os
import platform
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

from conftest import needs_mypy_2

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
NAME, VERSION = PYPROJECT["name"], PYPROJECT["version"]
SO_SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[0]  # ".cpython-313-x86_64-linux-gnu.so"
# The policy scripts/wheel.sh repairs to: the oldest that CPython 3.13 is built for.
MANYLINUX = f"manylinux_2_17_{platform.machine()}"
DIST_INFO = f"{NAME}-{VERSION}.dist-info"
# The wheel's Python and ABI tags: the free-threaded build has an ABI of its own.
TAGS = "cp313-cp313t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "cp313-cp313"
WHEEL_FILES = {
    f"log_main{SO_SUFFIX}",
    "log_main.pyi",
    "log_main-stubs/__init__.pyi",
    f"{DIST_INFO}/METADATA",
    f"{DIST_INFO}/WHEEL",
    f"{DIST_INFO}/RECORD",
    f"{DIST_INFO}/licenses/LICENSE",
}


def _env():
    # CIBW_*: cibuildwheel reads only what pyproject.toml configures.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PIP_", "PYTHON", "CIBW_")) and k != "MYPYPATH"}
    # Only what the test hands to pip: no configured index, find-links or constraints.
    env["PIP_CONFIG_FILE"] = os.devnull
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PIP_NO_INPUT"] = "1"
    # CMake and Ninja come from this venv, as in scripts/setup.sh.
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    # The freshly built module is not a sanitizer build: no ASan runtime for it.
    if "asan" in env.get("LD_PRELOAD", ""):
        env.pop("LD_PRELOAD")
    return env


def run(cmd, cwd, timeout=240, **extra_env):
    env = _env() | {k: str(v) for k, v in extra_env.items()}
    r = subprocess.run([str(c) for c in cmd], cwd=cwd, env=env, capture_output=True,
                       text=True, timeout=timeout)
    assert r.returncode == 0, f"{cmd}\n--- stdout\n{r.stdout}\n--- stderr\n{r.stderr}"
    return r


def _files(wheel_zip):
    # auditwheel repair also writes entries for the directories.
    return {n for n in wheel_zip.namelist() if not n.endswith("/")}


def _wheel_from_installed(dist_name, out_dir):
    """A wheel of a pure-Python distribution installed in this venv (offline)."""
    dist = importlib.metadata.distribution(dist_name)
    assert "Root-Is-Purelib: true" in (dist.read_text("WHEEL") or "")
    name = dist.metadata["Name"].replace("-", "_")
    info = f"{name}-{dist.version}.dist-info"
    path = out_dir / f"{name}-{dist.version}-py3-none-any.whl"
    skip = {f"{info}/{n}" for n in ("RECORD", "INSTALLER", "REQUESTED", "direct_url.json")}
    record = []
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for f in dist.files or ():
            rel = f.as_posix()
            if rel in skip or rel.startswith("..") or "__pycache__" in f.parts:
                continue
            data = f.locate().read_bytes()
            z.writestr(rel, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append(f"{rel},sha256={digest.decode()},{len(data)}")
        record.append(f"{info}/RECORD,,")
        z.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return path


@pytest.fixture(scope="module")
def artifacts(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("packaging")
    py = sys.executable
    built = {}
    # 1. the manylinux wheel, by this venv (its own build dir; build/ of the
    # development build untouched)
    out = run(["bash", ROOT / "scripts" / "wheel.sh", tmp / "wheel"], cwd=tmp,
              LOG_MAIN_VENV=sys.prefix, LOG_MAIN_WHEEL_BUILD_DIR=tmp / "build-tree").stdout
    (built["wheel"],) = (tmp / "wheel").glob("*.whl")
    assert out.splitlines()[-1] == str(built["wheel"])
    # 2. python -m build --sdist
    run([py, "-m", "build", "--sdist", "--no-isolation", "-o", tmp / "dist", ROOT], cwd=tmp)
    (built["sdist"],) = (tmp / "dist").glob("*.tar.gz")
    # 3. a wheel from the sdist
    run([py, "-m", "pip", "wheel", built["sdist"], "--no-build-isolation", "--no-deps", "-q",
         "-w", tmp / "wheel-from-sdist", f"-Cbuild-dir={tmp / 'build-sdist'}"], cwd=tmp)
    (built["sdist_wheel"],) = (tmp / "wheel-from-sdist").glob("*.whl")
    # 4. a fresh venv with the wheel and colorlog, from a local wheelhouse only
    wheelhouse = tmp / "wheelhouse"
    wheelhouse.mkdir()
    (wheelhouse / built["wheel"].name).write_bytes(built["wheel"].read_bytes())
    _wheel_from_installed("colorlog", wheelhouse)
    venv = tmp / "venv"
    run([py, "-m", "venv", "--without-pip", venv], cwd=tmp)
    vpy = venv / "bin" / "python"
    run([py, "-m", "pip", "--python", vpy, "install", "--no-index", "--find-links", wheelhouse,
         "-q", f"{NAME}=={VERSION}"], cwd=tmp)
    built["venv_python"] = vpy
    built["elsewhere"] = tmp / "elsewhere"
    built["elsewhere"].mkdir()
    return built


def test_wheel_holds_module_stub_and_metadata(artifacts):
    wheel = artifacts["wheel"]
    assert wheel.name.startswith(f"{NAME}-{VERSION}-{TAGS}-")
    with zipfile.ZipFile(wheel) as z:
        assert _files(z) == WHEEL_FILES
        stub = (ROOT / "src" / "log_main.pyi").read_bytes()
        assert z.read("log_main.pyi") == stub
        assert z.read("log_main-stubs/__init__.pyi") == stub
        meta = z.read(f"{DIST_INFO}/METADATA").decode()
        wheel_info = z.read(f"{DIST_INFO}/WHEEL").decode()
        assert z.read(f"{DIST_INFO}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()
    assert f"Name: {NAME}\n" in meta and f"Version: {VERSION}\n" in meta
    assert "Requires-Dist: colorlog\n" in meta
    assert "Requires-Python: <3.14,>=3.13" in meta
    assert "License-Expression: MIT\n" in meta
    assert {f"Classifier: {c}" for c in PYPROJECT["classifiers"]} <= set(meta.splitlines())
    assert "Root-Is-Purelib: false" in wheel_info
    assert f"Tag: {TAGS}-{MANYLINUX}\n" in wheel_info


def test_wheel_is_manylinux(artifacts):
    # libc and libstdc++ stay the system's (the wheel's files are checked
    # above: no library was copied in), at versions every manylinux_2_17 has.
    wheel = artifacts["wheel"]
    assert MANYLINUX in wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    show = run([sys.executable, "-m", "auditwheel", "show", wheel], cwd=wheel.parent).stdout
    text = " ".join(show.split())
    assert f'is consistent with the following platform tag: "{MANYLINUX}"' in text, show


def test_sdist_holds_the_sources(artifacts):
    with tarfile.open(artifacts["sdist"]) as t:
        names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
    sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*")
               if p.is_file() and p.suffix in {".cpp", ".hpp", ".pyi"}}
    assert sources and sources <= names
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO"} <= names
    assert not {n for n in names if n.startswith(("build/", ".venv", ".git/"))}


def test_sdist_builds_the_same_wheel(artifacts):
    with zipfile.ZipFile(artifacts["wheel"]) as a, zipfile.ZipFile(artifacts["sdist_wheel"]) as b:
        assert _files(a) == _files(b)
        for name in ("log_main.pyi", "log_main-stubs/__init__.pyi", f"{DIST_INFO}/METADATA"):
            assert a.read(name) == b.read(name), name
    # The same name but for the platform tag, which only the repair sets.
    raw_tag = f"linux_{platform.machine()}"
    assert artifacts["sdist_wheel"].name.endswith(f"-{raw_tag}.whl")
    assert (artifacts["sdist_wheel"].name.rsplit("-", 1)[0]
            == artifacts["wheel"].name.rsplit("-", 1)[0])


def test_installed_wheel_imports_from_another_directory(artifacts):
    vpy, elsewhere = artifacts["venv_python"], artifacts["elsewhere"]
    code = (
        "import importlib.metadata as m, os, sys, log_main\n"
        "print(log_main.__file__)\n"
        "print(os.path.isfile(os.path.join(os.path.dirname(log_main.__file__), 'log_main.pyi')))\n"
        f"d = m.distribution({NAME!r})\n"
        "print(d.metadata['Name'], d.version, [r for r in d.requires if 'extra' not in r])\n"
        "print(sorted(x.metadata['Name'] for x in m.distributions()))\n"
        "print(log_main.VarnelLog.__new__.__defaults__)\n"
    )
    # -I: no PYTHONPATH, no user site, no current directory on sys.path
    out = run([vpy, "-I", "-c", code], cwd=elsewhere).stdout.splitlines()
    venv = vpy.parent.parent
    assert Path(out[0]).is_relative_to(venv) and out[0].endswith(f"log_main{SO_SUFFIX}")
    assert out[1] == "True"
    assert out[2] == f"{NAME} {VERSION} ['colorlog']"
    assert out[3] == "['colorlog', 'log_main']"  # nothing else in the fresh venv
    assert out[4] == "(10, None, 'file', True, False)"


def test_installed_wheel_runs_an_example(artifacts):
    vpy, elsewhere = artifacts["venv_python"], artifacts["elsewhere"]
    script = elsewhere / "basic.py"
    script.write_text((ROOT / "examples" / "basic.py").read_text(encoding="utf-8"),
                      encoding="utf-8")
    out_dir = elsewhere / "run"
    r = run([vpy, "-I", script, out_dir], cwd=elsewhere, timeout=60)
    lines = (out_dir / "logs" / "app.log").read_text(encoding="utf-8").splitlines()
    assert [line.split(" - ", 3)[1:] for line in lines] == [
        ["example.app", "DEBUG", "debug details {'attempt': 1}"],
        ["example.app", "INFO", "started 3 workers"],
        ["example.app", "WARNING", "disk at 91 %"],
        ["example.app", "ERROR", "request failed: bad input"],
        ["example.app", "CRITICAL", "shutting down"],
        ["example.app", "INFO", "only in the file"],
    ]
    console = [line for line in r.stderr.splitlines() if " - example.app - " in line]
    assert len(console) == 5 + 6  # five coloured console lines, then the file echoed
    assert console[0].startswith("\x1b[34m")  # DEBUG in blue


@needs_mypy_2
def test_mypy_finds_the_installed_stub(artifacts):
    elsewhere = artifacts["elsewhere"]
    (elsewhere / "typed.py").write_text(
        "from log_main import VarnelLog\n"
        "log = VarnelLog('typed')\n"
        "reveal_type(log)\n"
        "log.info('x', 1)\n",
        encoding="utf-8",
    )
    env_cmd = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
               "--python-executable", artifacts["venv_python"], "typed.py"]
    r = run(env_cmd, cwd=elsewhere)
    assert 'Revealed type is "log_main._LogBase"' in r.stdout, r.stdout
    assert "Success: no issues found in 1 source file" in r.stdout


def test_release_matrix(tmp_path):
    # What cibuildwheel would build from [tool.cibuildwheel], per platform;
    # listing the identifiers needs neither docker nor the network.
    archs = {"linux": ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64",
                       "musllinux_aarch64"], "macos": ["macosx_x86_64", "macosx_arm64"],
             "windows": ["win_amd64"]}
    expected = {p: sorted(f"{py}-{a}" for py in ("cp313", "cp313t") for a in v)
                for p, v in archs.items()}
    found = {}
    for plat in expected:
        r = run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
                 "--platform", plat, ROOT], cwd=tmp_path, timeout=60)
        found[plat] = sorted(r.stdout.split())
    print(found)
    assert found == expected
