"""No references or memory kept across many calls, on every path."""
import ctypes
import ctypes.util
import gc
import sys
import tracemalloc

import numpy as np
import pytest
from quorvane import QuorvCompressionOptions as Opts
from quorvane import compress_signal, decompress_signal

from conftest import smooth_signal

TOTAL_CALLS = 100_000

X32 = smooth_signal(64)
X64 = X32.astype(np.float64)
STRIDED = np.arange(16, dtype=np.float32)[::2]
EMPTY = np.zeros(0, np.float64)
STREAM = compress_signal(X32)
DEFLATE = Opts(coder="deflate", method="cdf53")
BAD_STREAM = STREAM[:40]
TRUNCATED = STREAM[:-3]


class CauseIndex:
    def __index__(self):
        raise TypeError("no") from KeyError("cause")


CAUSE_INDEX = CauseIndex()

# Every path through the three callables: successes, binding errors,
# conversion errors, validation errors, input errors and codec errors.
CASES = [
    ("compress float32", lambda: compress_signal(X32)),
    ("compress float64", lambda: compress_signal(X64, DEFLATE)),
    ("compress keywords", lambda: compress_signal(options=None, data=X32)),
    ("decompress", lambda: decompress_signal(STREAM)),
    ("options", lambda: Opts("cdf53", 9, cutoff="high", coder="deflate")),
    ("too many positional", lambda: compress_signal(X32, None, None)),
    ("unexpected keyword", lambda: compress_signal(X32, bogus=1)),
    ("multiple values", lambda: decompress_signal(STREAM, data=STREAM)),
    ("missing argument", lambda: compress_signal()),
    ("options type", lambda: compress_signal(X32, 5)),
    ("not an array", lambda: compress_signal([1.0, 2.0])),
    ("2-d array", lambda: compress_signal(np.zeros((2, 2), np.float32))),
    ("strided", lambda: compress_signal(STRIDED)),
    ("empty", lambda: compress_signal(EMPTY)),
    ("decompress type", lambda: decompress_signal(bytearray(STREAM))),
    ("decompress header", lambda: decompress_signal(BAD_STREAM)),
    ("decompress truncated", lambda: decompress_signal(TRUNCATED)),
    ("options str type", lambda: Opts(method=None)),
    ("options scale type", lambda: Opts(scale=1.5)),
    ("options scale cause", lambda: Opts(scale=CAUSE_INDEX)),
    ("options scale overflow", lambda: Opts(scale=300)),
    ("options scale range", lambda: Opts(scale=13)),
    ("options unknown name", lambda: Opts(method="a\tb\x01")),
    ("options unknown coder", lambda: Opts(coder="zip")),
    ("options unencodable", lambda: Opts(cutoff="\udc80")),
]


def call(case):
    try:
        case()
    except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
        pass


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _malloc_in_use_function():
    """glibc's count of bytes handed out by malloc, which sees the codec's
    C++ buffers that tracemalloc does not; None off glibc."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


malloc_in_use = _malloc_in_use_function()


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def run_round_robin(count):
    functions = [function for _, function in CASES]
    for i in range(count):
        call(functions[i % len(functions)])


@pytest.mark.parametrize("name, case", CASES, ids=[name for name, _ in CASES])
def test_argument_references_are_released(name, case):
    watched = [X32, X64, STRIDED, EMPTY, STREAM, DEFLATE, BAD_STREAM, TRUNCATED, CAUSE_INDEX]
    call(case)
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        call(case)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_no_leak_across_many_calls():
    run_round_robin(5 * len(CASES))  # warm caches, NumPy's included
    gc.collect()
    total_refs = getattr(sys, "gettotalrefcount", None)
    refs_before = total_refs() if total_refs else 0
    blocks_before = sys.getallocatedblocks()
    malloc_before = malloc_in_use() if malloc_in_use else 0
    rss_before = rss_bytes()
    tracemalloc.start()
    traced_before, _ = tracemalloc.get_traced_memory()

    run_round_robin(TOTAL_CALLS)

    gc.collect()
    traced_after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    rss_growth = rss_bytes() - rss_before
    block_growth = sys.getallocatedblocks() - blocks_before
    malloc_growth = malloc_in_use() - malloc_before if malloc_in_use else 0
    print(f"\n{TOTAL_CALLS} calls: allocated blocks {block_growth:+d}, "
          f"traced Python memory {traced_after - traced_before:+d} B, "
          f"malloc in use {malloc_growth:+d} B, RSS {rss_growth / 1024:+.0f} KiB")
    if total_refs:
        assert total_refs() - refs_before < 100
    # A leak of one object or one codec buffer per call would show up as
    # 10^5 blocks or several MiB.
    assert block_growth < 200
    assert traced_after - traced_before < 64 * 1024
    assert malloc_growth < 128 * 1024
    assert rss_growth < 4 * 1024 * 1024
