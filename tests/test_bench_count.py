"""The benchmark's allocation count: calls into the interpreter's allocators,
each counted once where it enters from outside them."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from instructions import allocator_entries  # noqa: E402

# A callgrind output (compressed names, recursion marks): list_append
# reallocates twice, one of which moves the block (a nested malloc); long_new
# allocates 7 times; the GC visits mimalloc's heaps, which allocates nothing.
CALLGRIND = """\
fn=(1) list_append
cfn=(2) PyMem_Realloc
calls=2 10
10 50
fn=(2)
cfn=(3) _PyObject_Realloc
calls=2 20
20 40
fn=(3)
cfn=(4) _PyObject_Malloc
calls=1 30
30 20
fn=(5) long_new'2
cfn=(6) PyObject_Malloc
calls=7 0
0 10
fn=(7) gc_visit_heaps
cfn=(8) mi_heap_visit_blocks
calls=4 0
0 10
"""


def test_allocations_are_counted_where_they_enter(tmp_path):
    out = tmp_path / "callgrind.out"
    out.write_text(CALLGRIND)
    assert allocator_entries(str(out)) == 2 + 7
