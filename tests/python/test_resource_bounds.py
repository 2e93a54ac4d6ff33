"""Memory and time that hostile streams can make decompress_signal spend.

Each case runs in a fresh interpreter that resets its peak resident size
(/proc/self/clear_refs), makes one call and reports how far the peak rose
above the resident size before the call, so the figure is the call's own.
The bounds asserted here are the ones the README's security section states.
"""
import json
import os
import struct
import sys
import zlib

import numpy as np
import pytest
from quorvane import QuorvCompressionOptions as Opts
from quorvane import compress_signal

from conftest import run_python

MIB = 2**20
HEADER_SIZE = 52
HEADER = struct.Struct("<4s2s2s4sBBBBIfffI16s")


def under_asan() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc"),
    # ASan's shadow memory and quarantine swamp the figures.
    pytest.mark.skipif(sys.platform.startswith("linux") and under_asan(), reason="sanitised build"),
]

MEASURE = """
import json, resource, sys, time
import numpy as np
import quorvane

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

stream = open(sys.argv[1], "rb").read()
try:
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak resident size to the current one
    peak = lambda: status("VmHWM")
except OSError:
    peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
before = status("VmRSS")
start = time.perf_counter()
try:
    samples = quorvane.decompress_signal(stream)
    outcome = "samples: %d" % len(samples)
except ValueError as error:
    outcome = "ValueError: %s" % error
seconds = time.perf_counter() - start
print(json.dumps({"outcome": outcome, "peak_extra": peak() - before, "seconds": seconds}))
"""


def measure(tmp_path, name, stream):
    path = tmp_path / name
    path.write_bytes(stream)
    result = run_python(f"import sys; sys.argv = ['measure', {str(path)!r}]\n" + MEASURE, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    print(f"\n{name} ({len(stream)} bytes): {report['outcome'][:90]}; "
          f"peak +{report['peak_extra'] / MIB:.1f} MiB in {report['seconds'] * 1000:.1f} ms")
    # make docs collects the figures of every case for the README's table.
    figures = os.environ.get("QUORVANE_RESOURCE_FIGURES")
    if figures:
        with open(figures, "a", encoding="utf-8") as lines:
            lines.write(json.dumps(dict(report, name=name, bytes=len(stream))) + "\n")
    return report


def header(*, method=b"cf97", levels=10, scale=11, coder=0, sample_count=2**31 - 1, payload_len=8):
    return HEADER.pack(b"QRVN", b"\x01\x01", b"f3", method, levels, scale, coder, 0, sample_count,
                       0.0, 1.0, 0.0, payload_len, bytes(16))


def leb128(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def with_payload(stream, payload, **fields):
    values = list(HEADER.unpack_from(stream))
    values[12] = len(payload)
    if "sample_count" in fields:
        values[8] = fields["sample_count"]
    return HEADER.pack(*values) + payload


# 60-byte streams that declare 2^31 - 1 samples over 10 levels: the band
# sizes are computed, but nothing is allocated for them before the payload
# has delivered the bytes.
SMALL_HOSTILE = {
    # A stored block that ends after three bytes.
    "huge-count-deflate": header(coder=0) + bytes([0x01, 0x03, 0x00, 0xFC, 0xFF, 1, 2, 3]),
    # A framed rANS payload declaring 2^28 pairs with an empty plane A.
    "huge-count-arans": header(coder=1) + bytes([0, 3]) + leb128(2**28) + b"\x00",
    # 2^28 pairs (the most the framing accepts) from two four-byte planes,
    # for a header that needs all of them.
    "arans-2p28-pairs": header(coder=1, levels=1, sample_count=2**29 - 4, payload_len=16)
    + bytes([0, 3]) + leb128(2**28) + leb128(4) + bytes([0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1]),
    # Coder 2: the encoder's initial state alone, then the highest state
    # with one word; both run out of words after a few values.
    "huge-count-bands": header(coder=2, payload_len=4) + bytes([0, 0, 1, 0]),
    "huge-count-bands-one-word": header(coder=2, payload_len=6) + bytes([0xFF] * 6),
}


@pytest.mark.parametrize("name", SMALL_HOSTILE)
def test_small_stream_with_huge_declarations_fails_fast_and_small(tmp_path, name):
    stream = SMALL_HOSTILE[name]
    assert len(stream) <= 68
    report = measure(tmp_path, name, stream)
    assert report["outcome"].startswith("ValueError: Can't decompress data, reason: "), report
    assert report["peak_extra"] < 8 * MIB, report
    assert report["seconds"] < 2.0, report


@pytest.fixture(scope="module")
def deflate_bomb():
    """512 MiB of zero bytes as one raw DEFLATE stream (about 0.5 MB)."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(16 * MIB)
    parts = [compressor.compress(chunk) for _ in range(32)]
    parts.append(compressor.flush())
    return b"".join(parts)


@pytest.mark.parametrize("sample_count", [1000, 2**20])
def test_deflate_bomb_stops_at_the_needed_size(tmp_path, deflate_bomb, sample_count):
    template = compress_signal(np.zeros(sample_count, np.float32), Opts(coder="deflate"))
    stream = with_payload(template, deflate_bomb)
    report = measure(tmp_path, f"deflate-bomb-{sample_count}", stream)
    # All-zero coefficients decode to copies of the minimum.
    assert report["outcome"] == f"samples: {sample_count}", report
    # Inflating stops after the 2 bytes per coefficient the bands need; the
    # rest is the coefficients (4 bytes each), the inverse transform's
    # buffers and the output: about 16 bytes per sample, against 512 MiB
    # for the whole bomb.
    assert report["peak_extra"] < 4 * MIB + 24 * 4 * sample_count, report
    assert report["seconds"] < 5.0, report


def test_rans_payload_larger_than_the_header_needs(tmp_path):
    # A valid rANS payload of 2^22 coefficients behind a header that needs
    # 1000: the framing decodes every pair it declares (the decoder does not
    # know the needed size), so the cost follows the payload, bounded by
    # its 2h + 1 output bytes.
    pairs = 2**22
    template = compress_signal(np.zeros(1000, np.float32), Opts(coder="arans"))
    payload = compress_signal(np.zeros(pairs, np.float32), Opts(coder="arans"))[HEADER_SIZE:]
    stream = with_payload(template, payload)
    report = measure(tmp_path, "arans-oversized-payload", stream)
    assert report["outcome"] == "samples: 1000", report
    assert report["peak_extra"] < 4 * MIB + 4 * (2 * pairs + 1), report


def zero_band_payload(approximations, details):
    """The coder-2 payload of all-zero bands: one decision per value, on the
    first length counter of each counter set (docs/format.md, section 5)."""
    probabilities = []
    for count in (approximations, details):
        p, n = 32768, 0
        for _ in range(count):
            probabilities.append(p)
            rate = n + 1 if n < 5 else 5
            n = min(n + 1, 5)
            p += (65536 - p) >> rate
    x, words = 65536, []
    for p in reversed(probabilities):
        if x >= p << 16:
            words.append(x & 0xFFFF)
            x >>= 16
        x = ((x // p) << 16) + x % p
    return struct.pack("<I", x) + b"".join(struct.pack("<H", w) for w in reversed(words))


def test_band_payload_of_zeros_costs_what_its_samples_need(tmp_path):
    # 2^20 zero coefficients in a coder-2 payload of a few hundred bytes
    # (about 0.0007 bits per value at the counters' limit): the values are
    # really there, so the cost is what the header's samples need, about as
    # much as for the DEFLATE bomb.
    sample_count = 2**20
    template = header(coder=2, levels=8, sample_count=sample_count)
    length, details = sample_count, 0
    for _ in range(8):  # cdf97: ceil(m / 2) approximations, floor(m / 2) details
        details += length // 2
        length -= length // 2
    payload = zero_band_payload(length, details)
    assert len(payload) < 1000
    report = measure(tmp_path, "bands-zeros", with_payload(template, payload))
    assert report["outcome"] == f"samples: {sample_count}", report
    assert report["peak_extra"] < 4 * MIB + 24 * 4 * sample_count, report


def test_band_payload_larger_than_the_header_needs(tmp_path):
    # Unlike the rANS framing, coder 2 decodes only the values the header's
    # bands need, then refuses a payload that goes on: 4 MiB whose first
    # bytes code the 1000 samples of the header cost what those samples do.
    template = header(coder=2, levels=3, sample_count=1000)
    length, details = 1000, 0
    for _ in range(3):
        details += length // 2
        length -= length // 2
    exact = with_payload(template, zero_band_payload(length, details))
    assert measure(tmp_path, "bands-exact-payload", exact)["outcome"] == "samples: 1000"
    report = measure(tmp_path, "bands-oversized-payload", with_payload(template, zero_band_payload(
        length, details) + bytes([0x55]) * (4 * MIB)))
    assert report["outcome"] == ("ValueError: Can't decompress data, reason: "
                                 "Inconsistent or oversized length in stream"), report
    assert report["peak_extra"] < 2 * MIB, report


def test_invalid_deflate_payload_costs_no_more_than_its_first_buffer(tmp_path):
    # 16 MiB of noise behind a header that could use 4 GiB: the inflate
    # buffer starts at 64 KiB whatever the payload's size and grows only as
    # output arrives, and nothing grows after the error.
    rng = np.random.default_rng(5)
    payload = b"\x05" + rng.integers(0, 256, 16 * MIB, dtype=np.uint8).tobytes()
    stream = header(coder=0, levels=1, payload_len=len(payload)) + payload
    report = measure(tmp_path, "noise-deflate", stream)
    assert report["outcome"] == "ValueError: Can't decompress data, reason: corrupt deflate stream", report
    assert report["peak_extra"] < 8 * MIB, report
