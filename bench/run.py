"""Side-by-side benchmark of log_main against plain logging.

    scripts/bench.sh            # full run, a few minutes
    scripts/bench.sh --quick    # a few seconds, only proves that it works

Timing is done by pyperf (calibration, warm-ups, worker processes). Each row
is a pair "ours" / "anchor"; the pair is measured in --rounds rounds, and in
every round both sides get their own pyperf workers, in alternating order,
so slow drifts of the machine hit both sides alike. Times are medians of all
values of all rounds; ratio = ours / anchor. Memory (row 6) is measured with
tracemalloc in fresh subprocesses, and the calls per second from one and two
threads (row 8) in another. Nothing here fails on a number: the exit
status is 0 whatever the ratios.
"""

from __future__ import annotations

import atexit
import contextlib
import functools
import gc
import json
import logging
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The formats and colours log_main uses (src/module/namespace.cpp); the anchors
# are built with exactly these.
FFMT = "%(asctime)s - %(name)s - %(levelname)s - %(message)s"
CFMT = "%(log_color)s" + FFMT
COLORS = {
    "INFO": "green",
    "DEBUG": "blue",
    "WARNING": "yellow",
    "ERROR": "red",
    "CRITICAL": "bold_red,bg_white",
}


# --------------------------------------------------------------------- helpers

_tmpdir = None


def tmp(name: str) -> str:
    """A path in this process's own temporary directory (removed at exit)."""
    global _tmpdir
    if _tmpdir is None:
        _tmpdir = tempfile.mkdtemp(prefix="log_main-bench-")
        atexit.register(shutil.rmtree, _tmpdir, True)
    return os.path.join(_tmpdir, name)


_devnull = None


@contextlib.contextmanager
def console_to_devnull():
    """sys.stderr is /dev/null while handlers are made (StreamHandler binds it
    at construction); restored afterwards so that tracebacks stay visible."""
    global _devnull
    if _devnull is None:
        _devnull = open(os.devnull, "w")
    saved = sys.stderr
    sys.stderr = _devnull
    try:
        yield
    finally:
        sys.stderr = saved


class NameFilter(logging.Filter):
    """The anchor's counterpart of log_main._ContextFilter."""

    def __init__(self, logger_name):
        super().__init__()
        self._logger_name = logger_name

    def filter(self, record):
        record.name = self._logger_name
        return True


def hand_made(name, path):
    """The logging objects VarnelLog(name, file=path) makes, made by hand,
    with the same file-system steps (absolute path, directories made)."""
    import colorlog

    path = os.path.normpath(os.path.abspath(path))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lg = logging.getLogger(name)
    lg.setLevel(logging.DEBUG)
    lg.propagate = False
    flt = NameFilter(name)
    ch = colorlog.StreamHandler()
    ch.setLevel(logging.DEBUG)
    ch.setFormatter(colorlog.ColoredFormatter(fmt=CFMT, log_colors=COLORS))
    ch.addFilter(flt)
    lg.addHandler(ch)
    fh = logging.FileHandler(path, mode="a", encoding="utf-8")
    fh.setLevel(logging.DEBUG)
    fh.setFormatter(logging.Formatter(fmt=FFMT))
    fh.addFilter(flt)
    lg.addHandler(fh)
    return lg, ch, fh


def hand_close(lg, ch, fh):
    lg.removeHandler(ch)
    ch.close()
    lg.removeHandler(fh)
    fh.close()


class Shown:
    """A part with its own __str__."""

    def __str__(self):
        return "Shown<7>"


MIXED = ("alpha", 42, 3.14159, None, Shown())


def parts(n):
    return tuple(MIXED[i % len(MIXED)] for i in range(n))


# ------------------------------------------------------------ the set-ups
# Each runs once per worker process, on the first call of its timer.


def ours(name, *, quiet=False, disabled=False):
    from log_main import VarnelLog

    with console_to_devnull():
        o = VarnelLog(name, file=tmp(name + ".log"))
    if quiet:
        o.set_console_level(logging.WARNING)
        o.set_file_level(logging.WARNING)
    if disabled:
        o.disable()
    return o


def anchor(name, *, level=logging.DEBUG):
    with console_to_devnull():
        lg, _, _ = hand_made(name, tmp(name + ".log"))
    lg.setLevel(level)
    return lg


def managed(name):
    """The logging logger of a logger object whose outputs take WARNING and up."""
    return ours(name, quiet=True)._logger


def twin(name):
    """The same logging objects made by hand, managed by nothing, in a process
    that has imported log_main too: the row compares the loggers only."""
    import log_main  # noqa: F401

    with console_to_devnull():
        lg, ch, fh = hand_made(name, tmp(name + ".log"))
    ch.setLevel(logging.WARNING)
    fh.setLevel(logging.WARNING)
    lg.setLevel(logging.WARNING)  # a managed logger follows its outputs' levels
    return lg


# Names of the same length on both sides, so the lines written are alike.
SETUPS = {
    "emit.o": lambda: {"o": ours("bench.emit.o")},
    "emit.a": lambda: {"lg": anchor("bench.emit.a")},
    "supp.o": lambda: {"o": ours("bench.supp.o", quiet=True)},
    "supp.a": lambda: {"lg": anchor("bench.supp.a", level=logging.WARNING)},
    "dis.o": lambda: {"o": ours("bench.dis.o", disabled=True)},
    "dis.a": lambda: {"lg": anchor("bench.dis.a", level=logging.WARNING)},
    "direct.o": lambda: {"lg": managed("bench.direct.o")},
    "direct.a": lambda: {"lg": twin("bench.direct.a")},
    "loop": dict,  # nothing: bench/instructions.py counts what the loop alone costs
}
for _n in (1, 5, 20):
    SETUPS[f"comp{_n}.o"] = functools.partial(
        lambda n: {"o": ours(f"bench.comp{n}.o", quiet=True), "p": parts(n)}, _n)
    SETUPS[f"comp{_n}.a"] = functools.partial(lambda n: {"p": parts(n)}, _n)


@functools.cache
def env_of(key):
    return SETUPS[key]()


def make_timer(key, stmt, unroll):
    """A pyperf time function running `stmt` `unroll` times per loop, with the
    set-up's objects as local variables (`i` is the loop counter)."""
    names = sorted(SETUPS_NAMES[key])
    body = "\n".join("        " + stmt for _ in range(unroll))
    src = (
        "def timer(loops, _env=env_of, _key=key, _pc=perf_counter):\n"
        "    _e = _env(_key)\n"
        + "".join(f"    {n} = _e[{n!r}]\n" for n in names)
        + "    _rng = range(loops)\n"
        "    _t0 = _pc()\n"
        "    for i in _rng:\n"
        f"{body}\n"
        "    return _pc() - _t0\n"
    )
    ns = {"env_of": env_of, "key": key, "perf_counter": time.perf_counter}
    exec(compile(src, f"<timer {key}>", "exec"), ns)
    return ns["timer"]


SETUPS_NAMES = {
    "emit.o": ["o"], "emit.a": ["lg"], "supp.o": ["o"], "supp.a": ["lg"],
    "dis.o": ["o"], "dis.a": ["lg"], "direct.o": ["lg"], "direct.a": ["lg"], "loop": [],
    **{f"comp{n}.o": ["o", "p"] for n in (1, 5, 20)},
    **{f"comp{n}.a": ["p"] for n in (1, 5, 20)},
}


_cycle = [0]
CHUNK = 50


def forget(names):
    """Drops the given loggers from logging's registry (outside the timed part).

    logging keeps every name forever, and Logger.setLevel() walks all of them
    (Manager._clear_cache), so a life cycle would get slower with each name
    made before it, and the two sides, calibrated to different loop counts,
    would pay differently. The life-cycle timers therefore work in chunks of
    CHUNK new names and forget each chunk after timing it."""
    manager = logging.Logger.manager
    with logging._lock:
        for nm in names:
            lg = manager.loggerDict.pop(nm, None)
            parent = nm.rpartition(".")[0]
            holder = manager.loggerDict.get(parent)
            if isinstance(holder, logging.PlaceHolder):
                holder.loggerMap.pop(lg, None)


def fill_table(size):
    """Makes logging's table hold `size` entries (placeholders included), as
    an application's loggers would: Logger.setLevel() walks them all, and so
    does whatever else looks at every logger."""
    table = logging.Logger.manager.loggerDict
    k = 0
    while len(table) < size:
        logging.getLogger(f"bench.table.{k}")
        k += 1


def life_timer(side, size):
    def timer(loops):
        from log_main import VarnelLog

        fill_table(size)  # once per worker: later calls find it full
        path = tmp(f"life.{side}.log")
        made, close = hand_made, hand_close
        pc = time.perf_counter
        total = 0.0
        done = 0
        while done < loops:
            count = min(CHUNK, loops - done)
            done += count
            base = _cycle[0]
            _cycle[0] += count
            names = [f"bench.life.{side}.{base + k}" for k in range(count)]
            if side == "o":
                t0 = pc()
                for nm in names:
                    VarnelLog(nm, file=path).close()
                total += pc() - t0
            else:
                t0 = pc()
                for nm in names:
                    close(*made(nm, path))
                total += pc() - t0
            forget(names)
        return total
    return timer


UNROLL = 20
# The timed pairs: (row id, label, (ours' set-up, statement), (anchor's set-up,
# statement), statements per loop, goal: ratio <= goal). bench/instructions.py
# counts the same statements' instructions.
PAIRS = [
    ("1", 'emitted: info("started", 3) / log(20, "started 3")',
     ("emit.o", 'o.info("started", 3)'), ("emit.a", 'lg.log(20, "started 3")'), 5, 1.02),
    ("2", 'suppressed: debug("step", i) / lg.debug("step %s", i)',
     ("supp.o", 'o.debug("step", i)'), ("supp.a", 'lg.debug("step %s", i)'), UNROLL, 0.45),
    ("3", 'disabled: info("step", i) / lg.info("step %s", i)',
     ("dis.o", 'o.info("step", i)'), ("dis.a", 'lg.info("step %s", i)'), UNROLL, 0.3),
    *[
        (f"4.{n}", f'compose {n:>2} part{"s" if n > 1 else " "}: debug(*p) / " ".join(map(str, p))',
         (f"comp{n}.o", "o.debug(*p)"), (f"comp{n}.a", '" ".join(map(str, p))'), UNROLL,
         0.35 if n == 5 else 1.2)
        for n in (1, 5, 20)
    ],
    ("7", 'direct: lg.debug("step %s", i) on a managed logger / on an unmanaged twin',
     ("direct.o", 'lg.debug("step %s", i)'), ("direct.a", 'lg.debug("step %s", i)'), UNROLL, 1.03),
]
# The life-cycle rows: (row id, entries in logging's table while they run).
LIFE_TABLES = [("5.200", 200), ("5.20k", 20_000)]
# (row id, label, ours timer, anchor timer, inner loops, goal: ratio <= goal)
ROWS = [
    *[(rid, label, make_timer(*o, unroll), make_timer(*a, unroll), unroll, goal)
      for rid, label, o, a, unroll, goal in PAIRS if rid != "7"],
    *[(rid, f"life cycle, {size:,} loggers: VarnelLog(new name, file=).close() / by hand",
       life_timer("o", size), life_timer("a", size), None, 1.1)
      for rid, size in LIFE_TABLES],
    *[(rid, label, make_timer(*o, unroll), make_timer(*a, unroll), unroll, goal)
      for rid, label, o, a, unroll, goal in PAIRS if rid == "7"],
]


# ------------------------------------------------------------------- memory

MEMORY_ITER = {"objects": 1000, "calls": 100_000, "cycles": 10_000}
MEMORY_ITER_QUICK = {"objects": 50, "calls": 5_000, "cycles": 1_000}


def memory_child(kind, side, n):
    """Runs in a fresh interpreter; prints the traced growth in bytes over the
    whole run and over its second half (where one-time costs are behind)."""
    import tracemalloc

    tracemalloc.start()  # first: everything measured is traced both ways
    import colorlog  # noqa: F401
    from log_main import VarnelLog

    def traced():
        gc.collect()
        return tracemalloc.get_traced_memory()[0]

    path = tmp(f"mem.{side}.log")
    keep = []
    with console_to_devnull():
        if kind == "objects":
            try:
                import resource
                soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
                want = n + 64
                if soft != resource.RLIM_INFINITY and soft < want:
                    resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))
            except (ImportError, ValueError, OSError):
                pass
            # Warm-up: first-use caches of logging, colorlog and log_main.
            for k in range(3):
                if side == "ours":
                    VarnelLog(f"mem.w.{k:07d}", file=path).close()
                else:
                    hand_close(*hand_made(f"mem.w.{k:07d}", path))
            names = [f"mem.n.{k:07d}" for k in range(n)]
            before = traced()
            for nm in names:
                keep.append(VarnelLog(nm, file=path) if side == "ours" else hand_made(nm, path))
            after = middle = traced()
        elif kind == "calls":
            if side == "ours":
                loud = VarnelLog("mem.loud", file=path)
                quiet = VarnelLog("mem.hush", file=path)
                quiet.set_console_level(logging.WARNING)
                quiet.set_file_level(logging.WARNING)

                def run(count):
                    for i in range(count):
                        if i & 1:
                            loud.info("step", i, 2.5)
                        else:
                            quiet.debug("step", i, None, 2.5)
            else:
                loud = hand_made("mem.loud", path)[0]
                quiet = hand_made("mem.hush", path)[0]
                quiet.setLevel(logging.WARNING)

                def run(count):
                    for i in range(count):
                        if i & 1:
                            loud.log(20, f"step {i} 2.5")
                        else:
                            quiet.debug("step %s %s %s", i, None, 2.5)
            run(2000)
            before = traced()
            run(n // 2)
            middle = traced()
            run(n - n // 2)
            after = traced()
        else:  # cycles
            def cycle(nm):
                if side == "ours":
                    VarnelLog(nm, file=path).close()
                else:
                    hand_close(*hand_made(nm, path))
            for k in range(max(20, n // 50)):
                cycle(f"mem.w.{k:07d}")
            names = [f"mem.c.{k:07d}" for k in range(n)]
            before = traced()
            for nm in names[: n // 2]:
                cycle(nm)
            middle = traced()
            for nm in names[n // 2:]:
                cycle(nm)
            after = traced()
    print(json.dumps({"bytes": after - before, "second_half": after - middle}))
    sys.stdout.flush()
    if _tmpdir:
        shutil.rmtree(_tmpdir, True)
    os._exit(0)  # skips tearing down the kept objects: nothing left to measure


def memory_rows(quick):
    its = MEMORY_ITER_QUICK if quick else MEMORY_ITER
    out = {}
    for kind in ("objects", "calls", "cycles"):
        for side in ("ours", "anchor"):
            cmd = [sys.executable, os.path.abspath(__file__), "--memory-child",
                   kind, side, str(its[kind])]
            r = subprocess.run(cmd, capture_output=True, text=True)
            if r.returncode != 0:
                sys.stderr.write(r.stderr)
                raise RuntimeError(f"memory child {kind}/{side} failed ({r.returncode})")
            out[kind, side] = json.loads(r.stdout.strip().splitlines()[-1])
    return its, out


# ------------------------------------------------------------------ threads

THREAD_CALLS = {"full": 200_000, "quick": 20_000}  # per thread
THREAD_BEST_OF = 3
# (row id, label, set-up key without side, method, anchor's format string)
THREAD_CASES = [
    ("8.1", 'suppressed: debug("step", i) / lg.debug("step %s", i)', "supp", "debug"),
    ("8.2", 'disabled: info("step", i) / lg.info("step %s", i)', "dis", "info"),
]


def thread_rate(bind, message, threads, n):
    """Calls per second that `threads` threads make together, each through
    the callable that `bind()` gives it in its own thread (on a shared logger:
    a method object of its own, so that its loop touches no object another
    thread owns)."""
    start = threading.Barrier(threads + 1)

    def work():
        f = bind()
        start.wait()
        for i in range(n):
            f(message, i)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for t in workers:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in workers:
        t.join()
    return threads * n / (time.perf_counter() - t0)


class _EmptyMethod:
    def call(self, message, i):
        pass


def threads_child(n):
    """Runs in a fresh interpreter; prints the best rate of each case, side
    and thread count, the repetitions interleaved. The reference is a call of
    an empty function each thread makes for itself: how far two threads can
    scale on this machine at this moment, with nothing shared. The second
    is an empty method of one object that all threads share, each bound in
    its thread: the interpreter itself then changes the reference counts of
    the object and its function on each call, which the threads contend for."""
    best = {}
    shared = _EmptyMethod()
    for _ in range(THREAD_BEST_OF):
        cases = [("ref", lambda: (lambda message, i: None), "step"),
                 ("shared", functools.partial(getattr, shared, "call"), "step")]
        for rid, _, key, method in THREAD_CASES:
            ours, plain = env_of(key + ".o")["o"], env_of(key + ".a")["lg"]
            cases.append((f"{rid} ours", functools.partial(getattr, ours, method), "step"))
            cases.append((f"{rid} plain", functools.partial(getattr, plain, method), "step %s"))
        for case, bind, message in cases:
            for threads in (1, 2):
                k = f"{case} {threads}"
                best[k] = max(best.get(k, 0.0), thread_rate(bind, message, threads, n))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(json.dumps({"gil": gil, "best": best}))


def thread_rows(quick):
    n = THREAD_CALLS["quick" if quick else "full"]
    r = subprocess.run([sys.executable, os.path.abspath(__file__), "--threads-child", str(n)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write(r.stderr)
        raise RuntimeError(f"threads child failed ({r.returncode})")
    return n, json.loads(r.stdout.strip().splitlines()[-1])


def print_threads(n, found):
    """The thread rows: calls per second from one and from two threads, and
    the ratio of the two (2.0 when two threads run twice as many calls)."""
    gil = ("GIL enabled: the calls of two threads take turns, so they cannot scale"
           if found["gil"] else "GIL disabled: two threads can run their calls at once")
    print()
    print(f"threads: calls per second on one shared logger, {THREAD_BEST_OF} runs (best), "
          f"{n:,} calls per thread, {os.cpu_count()} CPUs; {gil}")
    head = ("#", "benchmark (ours / plain)", "ours 1T", "ours 2T", "2T/1T",
            "plain 1T", "plain 2T", "2T/1T")
    rows = [head]
    for rid, label, _, _ in THREAD_CASES:
        cells = [rid, label]
        for side in ("ours", "plain"):
            one, two = (found["best"][f"{rid} {side} {t}"] for t in (1, 2))
            cells += [f"{one / 1e6:.2f} M/s", f"{two / 1e6:.2f} M/s", f"{two / one:.2f}"]
        rows.append(cells)
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    for r in rows:
        print("  ".join(c.ljust(w) if j < 2 else c.rjust(w)
                        for j, (c, w) in enumerate(zip(r, widths))))
    one, two = found["best"]["ref 1"], found["best"]["ref 2"]
    print(f"reference: each thread calling an empty function of its own, {one / 1e6:.2f} M/s "
          f"from 1 thread, {two / 1e6:.2f} M/s from 2, 2T/1T {two / one:.2f}: the most "
          "this machine let two threads scale during the run")
    one, two = found["best"]["shared 1"], found["best"]["shared 2"]
    print(f"reference: each thread calling an empty method of one shared object, {one / 1e6:.2f} "
          f"M/s from 1 thread, {two / 1e6:.2f} M/s from 2, 2T/1T {two / one:.2f}: what the "
          "interpreter's own reference counting of a shared object leaves")


# ------------------------------------------------------------------- report

def fmt_time(sec):
    for unit, scale in (("ns", 1e9), ("us", 1e6), ("ms", 1e3)):
        v = sec * scale
        if v < 1000:
            return f"{v:.3g} {unit}" if v < 100 else f"{v:.0f} {unit}"
    return f"{sec:.3g} s"


def fmt_bytes(b):
    return f"{b:+.0f} B" if abs(b) < 10_000 else f"{b / 1024:+.1f} KiB"


def build_info():
    """Build type of the installed module, from its build directory."""
    try:
        import log_main
        so = log_main.__file__
        with open(so, "rb") as f:
            sanitized = b"__asan_init" in f.read()
    except Exception as exc:  # noqa: BLE001
        return f"unknown ({exc})"
    caches = sorted(p for p in (os.path.join(ROOT, "build", d, "CMakeCache.txt")
                                for d in os.listdir(os.path.join(ROOT, "build"))
                                if os.path.isdir(os.path.join(ROOT, "build", d)))
                    if os.path.exists(p)) if os.path.isdir(os.path.join(ROOT, "build")) else []
    chosen = [c for c in caches if ("/build/asan/" in c) == sanitized]
    info = {}
    if chosen:
        with open(chosen[0]) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition("=")
                key = key.split(":")[0]
                if key in ("CMAKE_BUILD_TYPE", "CMAKE_CXX_FLAGS_RELEASE",
                           "CMAKE_CXX_COMPILER", "LOG_MAIN_SANITIZE"):
                    info[key] = value
    bt = info.get("CMAKE_BUILD_TYPE", "?")
    flags = info.get("CMAKE_CXX_FLAGS_RELEASE", "") if bt == "Release" else ""
    san = "ASan+UBSan (-fsanitize=address,undefined)" if sanitized else "no sanitizer"
    where = os.path.relpath(os.path.dirname(chosen[0]), ROOT) if chosen else "no build dir"
    comp = os.path.basename(info.get("CMAKE_CXX_COMPILER", "?"))
    return f"{bt} {flags}, {san}, {comp} ({where})".replace("  ", " ")


def machine_info():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{platform.platform()}, {cpu}, {os.cpu_count()} CPUs"


def load_text():
    try:
        return "/".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "?"


def print_table(results, mem, rounds, runner_args, load_before):
    rows = []
    for rid, label, med_o, med_a, per_round, goal in results:
        ratio = med_o / med_a
        spread = (f"{min(per_round):.2f}-{max(per_round):.2f}"
                  if len(per_round) > 1 else "-")
        rows.append((rid, label, fmt_time(med_o), fmt_time(med_a), f"{ratio:.2f}",
                     spread, f"<= {goal}", "yes" if ratio <= goal else "NO"))
    if mem is not None:
        its, m = mem
        n = its["objects"]
        po, pa = m["objects", "ours"]["bytes"] / n, m["objects", "anchor"]["bytes"] / n
        rows.append(("6.1", f"memory per live object (N={n}, with its logging objects)",
                     f"{po:.0f} B", f"{pa:.0f} B", fmt_bytes(po - pa), "-",
                     "<= 1 KiB extra", "yes" if po - pa <= 1024 else "NO"))
        for rid, kind, what in (("6.2", "calls", "log calls"),
                                ("6.3", "cycles", "create/close cycles")):
            k = its[kind]
            go, ga = m[kind, "ours"]["bytes"], m[kind, "anchor"]["bytes"]
            # "No growth": over the second half of the run (one-time costs such
            # as caches filling up are behind), less than one byte per operation
            # beyond the baseline, or less than 32 KiB in all: blocks parked in
            # free lists and caches make a few KiB of noise either way, while
            # one leaked object per operation is 16 bytes or more each time.
            ops = k - k // 2
            extra = m[kind, "ours"]["second_half"] - m[kind, "anchor"]["second_half"]
            rows.append((rid, f"growth after {k:,} {what}", fmt_bytes(go), fmt_bytes(ga),
                         fmt_bytes(go - ga), f"{extra / ops:+.2f} B/op", "no growth",
                         "yes" if extra < max(ops, 32 * 1024) else "NO"))
    head = ("#", "benchmark (ours / anchor)", "ours", "anchor", "ratio", "rounds", "goal",
            "met")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = "  ".join("-" * w for w in widths)

    print()
    print(f"machine: {machine_info()}; load average (1/5/15 min) {load_before} before, "
          f"{load_text()} after (other work on the machine makes rounds disagree)")
    print(f"python:  {platform.python_implementation()} {platform.python_version()} "
          f"({sys.executable})")
    print(f"build:   log_main {build_info()}")
    print(f"timing:  pyperf {__import__('pyperf').__version__}, {rounds} round(s) x "
          f"{runner_args.processes} worker(s) x {runner_args.values} value(s) per side, "
          f"min-time {runner_args.min_time:g} s; medians; ratio = ours / anchor"
          + ("; QUICK MODE: numbers are rough" if runner_args.quick else ""))
    print(line)
    for i, r in enumerate([head] + rows):
        print("  ".join(str(c).ljust(w) if j in (0, 1, 6, 7) else str(c).rjust(w)
                        for j, (c, w) in enumerate(zip(r, widths))))
        if i == 0:
            print(line)
    print(line)
    print("rounds: lowest-highest ratio of the per-round medians. Memory: ratio = ours - "
          "anchor; 6.2/6.3 'rounds' = that difference per operation over the second half")


# --------------------------------------------------------------------- main

def main():
    if sys.argv[1:2] == ["--memory-child"]:
        kind, side, n = sys.argv[2], sys.argv[3], int(sys.argv[4])
        memory_child(kind, side, n)
        return 0
    if sys.argv[1:2] == ["--threads-child"]:
        threads_child(int(sys.argv[2]))
        return 0
    if sys.argv[1:2] == ["--count-child"]:  # bench/instructions.py runs this under callgrind
        key, stmt, loops = sys.argv[2], sys.argv[3], int(sys.argv[4])
        make_timer(key, stmt, 1)(loops)
        return 0

    import pyperf

    def forward(cmd, args):
        cmd.extend(["--rounds", str(args.rounds)])
        if args.rows:
            cmd.extend(["--rows", args.rows])
        if args.quick:
            cmd.append("--quick")

    runner = pyperf.Runner(add_cmdline_args=forward)
    p = runner.argparser
    p.add_argument("--quick", action="store_true",
                   help="a few seconds in all: proves the benchmark works, numbers are rough")
    p.add_argument("--rounds", type=int, default=None,
                   help="interleaved rounds per pair (default 10, 1 with --quick); "
                        "pyperf's --processes are spread over them")
    p.add_argument("--rows", default="",
                   help="comma-separated row ids to run, e.g. 1,2,4 (default: all, and 6)")
    args = runner.parse_args()
    if args.rounds is None:
        args.rounds = 1 if args.quick else 10
    wanted = {r.strip() for r in args.rows.split(",") if r.strip()}

    def selected(rid):
        return not wanted or rid in wanted or rid.split(".")[0] in wanted

    if not args.worker:
        if args.quick:
            args.processes, args.values, args.warmups = 1, 1, 1
            args.min_time = min(args.min_time, 0.01)
        else:
            # The total number of workers per side is spread over the rounds.
            args.processes = max(1, math.ceil(args.processes / args.rounds))
        # Workers get a filtered environment: keep what a sanitized build needs.
        extra = [v for v in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS") if v in os.environ]
        if extra:
            args.inherit_environ = (args.inherit_environ or []) + extra

    # Every process, workers included, makes the same calls in the same order:
    # pyperf's --worker-task picks one of them.
    load_before = load_text()
    values = {}
    loops = {}  # calibrated in the first round, reused by the later ones
    for r in range(args.rounds):
        for rid, label, t_ours, t_anchor, inner, goal in ROWS:
            if not selected(rid):
                continue
            sides = [("ours", t_ours), ("anchor", t_anchor)]
            if r % 2:
                sides.reverse()
            for side, fn in sides:
                kw = {"inner_loops": inner} if inner else {}
                forced = args.loops
                if not args.worker and not forced and (rid, side) in loops:
                    args.loops = loops[rid, side]
                bench = runner.bench_time_func(f"row{rid}.{side}.r{r + 1}", fn, **kw)
                if not args.worker:
                    args.loops = forced
                if bench is not None and not args.worker:
                    measured = [run.get_loops() for run in bench.get_runs() if run.values]
                    loops.setdefault((rid, side), max(measured))
                    values.setdefault((rid, side), []).append(bench.get_values())

    if args.worker:
        return 0

    results = []
    for rid, label, _, _, _, goal in ROWS:
        if (rid, "ours") not in values:
            continue
        vo, va = values[rid, "ours"], values[rid, "anchor"]
        med_o = statistics.median(v for rnd in vo for v in rnd)
        med_a = statistics.median(v for rnd in va for v in rnd)
        per_round = [statistics.median(o) / statistics.median(a) for o, a in zip(vo, va)]
        results.append((rid, label, med_o, med_a, per_round, goal))

    mem = memory_rows(args.quick) if selected("6") else None
    if results or mem is not None:
        print_table(results, mem, args.rounds, args, load_before)
    if selected("8"):
        print_threads(*thread_rows(args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
