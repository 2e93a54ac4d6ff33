"""Running independent pieces of work on several cores, results in order.

The command line's `-j N` spreads files of a batch, channels of one file
and `eval` candidates over N worker threads. The codec releases the
interpreter lock while it works, and NumPy does for its array operations,
so threads scale without copying samples to other processes. Results come
back in input order whatever finishes first, so that what is printed and
written is the same as with one job.
"""
from __future__ import annotations

import concurrent.futures
import os
from typing import Callable, Iterator, List, Sequence, TypeVar

T = TypeVar("T")
R = TypeVar("R")


def default_jobs() -> int:
    """The cores this process may run on (its CPU affinity, not the whole machine)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # no affinity on this platform
        return max(1, os.cpu_count() or 1)


def ordered_map(function: Callable[[T], R], items: Sequence[T], jobs: int) -> Iterator[R]:
    """`function` over `items` on up to `jobs` threads, yielded in item order.

    An exception of one item is raised when its turn comes, after the items
    before it were yielded; the items after it are not started any more.
    With one job (or one item) nothing is threaded at all.
    """
    if jobs <= 1 or len(items) <= 1:
        for item in items:
            yield function(item)
        return
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=min(jobs, len(items)), thread_name_prefix="quorvane")
    futures: List["concurrent.futures.Future[R]"] = []
    try:
        futures = [pool.submit(function, item) for item in items]
        for future in futures:
            yield future.result()
    finally:
        # On an error, an interrupt or an abandoned generator: start nothing
        # new and do not wait here for what runs (it ends on its own; outputs
        # are written under temporary names, so nothing half-done remains).
        pool.shutdown(wait=False, cancel_futures=True)
