"""Buffers that cannot be had raise MemoryError; the interpreter carries on.

Each scenario runs in its own interpreter whose address space is capped just
above what it already uses, so that the next large allocation really fails.
"""
import json
import sys
import textwrap

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses RLIMIT_AS")

PRELUDE = """
import gc, json, resource
import numpy as np
import quorvane

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def cap_address_space(headroom):
    limits = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, limits[1]))
    return limits

def attempt(call):
    try:
        call()
        return "ok"
    except MemoryError as error:
        return "MemoryError: " + str(error)

small = np.sin(np.arange(500, dtype=np.float32) / 7)
expected = quorvane.compress_signal(small)
"""

# The first failure may make malloc reserve a new arena; after it, repeated
# failures must not grow the address space at all.
EPILOGUE = """
outcomes = [attempt(call)]
before = vm_size()
outcomes += [attempt(call) for _ in range(4)]
growth = vm_size() - before
still_works = quorvane.compress_signal(small) == expected  # under the cap
resource.setrlimit(resource.RLIMIT_AS, limits)
print(json.dumps({"outcomes": outcomes, "growth": growth, "still_works": still_works}))
"""

# Each scenario makes its large input before the cap; `call` then needs
# hundreds of MiB that the cap does not leave.
SCENARIOS = {
    "float64-conversion-buffer": """
        big = np.zeros(2**27, np.float64)        # 1 GiB of untouched pages
        limits = cap_address_space(128 * 2**20)  # its float32 copy needs 512 MiB
        call = lambda: quorvane.compress_signal(big)
    """,
    "codec-working-copy": """
        big = np.zeros(2**26, np.float32)        # 256 MiB, read in place
        limits = cap_address_space(64 * 2**20)   # the codec's own copy needs 256 MiB
        call = lambda: quorvane.compress_signal(big)
    """,
    # 2^24 samples decode through 32 MiB of coefficient bytes and 64 MiB of
    # coefficients and samples each.
    "decoded-samples-arans": """
        stream = quorvane.compress_signal(np.zeros(2**24, np.float32),
                                          quorvane.QuorvCompressionOptions(coder="arans"))
        limits = cap_address_space(16 * 2**20)
        call = lambda: quorvane.decompress_signal(stream)
    """,
    "decoded-samples-deflate": """
        stream = quorvane.compress_signal(np.zeros(2**24, np.float32),
                                          quorvane.QuorvCompressionOptions(coder="deflate"))
        limits = cap_address_space(16 * 2**20)
        call = lambda: quorvane.decompress_signal(stream)
    """,
}

# Either the module's own translation of a failed allocation, or the codec's
# OutOfMemory report with its count.
ACCEPTED = {
    "float64-conversion-buffer": {"MemoryError: "},
    "codec-working-copy": {"MemoryError: ", f"MemoryError: Out of memory, can't allocate additional {2**26}"},
}


def run_scenario(name):
    code = PRELUDE + textwrap.dedent(SCENARIOS[name]) + EPILOGUE
    result = run_python(code, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_memory_error_and_the_interpreter_survives(name):
    report = run_scenario(name)
    assert len(report["outcomes"]) == 5
    assert all(outcome.startswith("MemoryError") for outcome in report["outcomes"]), report
    if name in ACCEPTED:
        assert set(report["outcomes"]) <= ACCEPTED[name], report
    # Nothing from the failed calls stays behind.
    assert report["growth"] < 4 * 2**20, report
    assert report["still_works"]
