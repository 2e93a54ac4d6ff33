"""Damaged streams, hostile signals, error paths under load, and threads.

Damaged or crafted streams must raise ValueError or decode to exactly the
declared number of samples; they must never crash the interpreter, raise
anything else, or leave memory or references behind.
"""
import gc
import random
import struct
import sys
import threading
import tracemalloc
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from quorvane import QuorvCompressionOptions as Opts
from quorvane import compress_signal, decompress_signal

from conftest import smooth_signal

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
HEADER_SIZE = 52
HEADER = struct.Struct("<4s2s2s4sBBBBIfffI16s")
FIELDS = ("magic", "version", "tag", "method", "levels", "scale", "coder", "reserved",
          "sample_count", "min", "max", "mean", "payload_len", "tail")


def under_asan() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


UNDER_ASAN = under_asan()


def header_of(stream: bytes) -> dict:
    return dict(zip(FIELDS, HEADER.unpack_from(stream)))


def with_header(stream: bytes, **fields) -> bytes:
    values = header_of(stream)
    values.update(fields)
    return HEADER.pack(*(values[name] for name in FIELDS)) + stream[HEADER_SIZE:]


def with_payload(stream: bytes, payload: bytes) -> bytes:
    """The header of `stream` with a new payload and its length."""
    return with_header(stream[:HEADER_SIZE], payload_len=len(payload)) + payload


def decode_or_refuse(stream: bytes):
    """decompress_signal's contract for any bytes: ValueError, or an array of
    the declared sample count. Anything else fails the test."""
    try:
        restored = decompress_signal(stream)
    except ValueError as error:
        assert str(error), "a ValueError without a message"
        return None
    assert type(restored) is np.ndarray and restored.dtype == np.float32 and restored.ndim == 1
    assert len(stream) >= HEADER_SIZE
    assert restored.shape == (header_of(stream)["sample_count"],)
    return restored


def stream_for(method, coder, length, seed=1):
    return compress_signal(smooth_signal(length, seed=seed), Opts(method=method, coder=coder))


# Every method and both stored coders; 9000 samples gives an rANS payload
# of more than 16384 bytes, which is coded with eight context bits.
STREAM_CASES = [(method, coder, length) for method in METHODS for coder in ("deflate", "arans")
                for length in (1, 37, 1000, 9000)]
STREAM_IDS = [f"{method}-{coder}-{length}" for method, coder, length in STREAM_CASES]


@pytest.fixture(scope="module")
def streams():
    return {case: stream_for(*case) for case in STREAM_CASES}


@pytest.mark.parametrize("case", STREAM_CASES, ids=STREAM_IDS)
def test_truncated_streams(case, streams):
    stream = streams[case]
    payload = stream[HEADER_SIZE:]
    cuts = sorted(set(range(0, min(len(payload), 80))) | set(range(0, len(payload), max(1, len(payload) // 60))))
    for cut in cuts:
        # Cut as it stands: shorter than the header says.
        with pytest.raises(ValueError, match=r"^Can't decompress data, reason: Minimum data size is"):
            decompress_signal(stream[:HEADER_SIZE + cut])
        # Cut with the length field following it: the payload decoders see
        # the truncation themselves.
        decode_or_refuse(with_payload(stream, payload[:cut]))
    for cut in range(HEADER_SIZE):
        with pytest.raises(ValueError, match=r"^Header is invalid$"):
            decompress_signal(stream[:cut])


@pytest.mark.parametrize("case", STREAM_CASES, ids=STREAM_IDS)
def test_mutated_streams(case, streams):
    stream = streams[case]
    rng = random.Random(zlib.crc32(repr(case).encode()))
    payload_start = HEADER_SIZE
    for trial in range(250):
        data = bytearray(stream)
        kind = trial % 5
        if kind == 0:  # flip one bit of the payload
            if len(data) > payload_start:
                position = rng.randrange(payload_start, len(data))
                data[position] ^= 1 << rng.randrange(8)
        elif kind == 1:  # overwrite a few payload bytes
            for _ in range(rng.randint(1, 4)):
                if len(data) > payload_start:
                    data[rng.randrange(payload_start, len(data))] = rng.randrange(256)
        elif kind == 2:  # insert or delete bytes, keeping the length field right
            payload = bytearray(data[payload_start:])
            position = rng.randrange(len(payload) + 1)
            if rng.random() < 0.5 and payload:
                del payload[position:position + rng.randint(1, 8)]
            else:
                payload[position:position] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
            data = bytearray(with_payload(bytes(data), bytes(payload)))
        elif kind == 3:  # flip one bit of the header fields the parser leaves to the decoder
            position = rng.choice([12, 16, 17, 18, 19, 20, 23, 24, 27, 28, 31, 32, 33, 34, 35])
            data[position] ^= 1 << rng.randrange(8)
        else:  # the framing bytes of the payload: odd flag, context bits, varints
            for _ in range(rng.randint(1, 2)):
                if len(data) > payload_start:
                    position = payload_start + rng.randrange(min(8, len(data) - payload_start))
                    data[position] = rng.randrange(256)
        decode_or_refuse(bytes(data))


# Header values at and beyond every limit the decoder checks.
CRAFTED_FIELDS = [
    {"levels": levels} for levels in (0, 1, 9, 10, 11, 255)
] + [
    {"sample_count": count} for count in (0, 1, 2, 2**20, 2**31 - 1, 2**31, 2**32 - 1)
] + [
    {"sample_count": 2**31 - 1, "levels": 10},
    {"payload_len": 0}, {"payload_len": 2**32 - 1},
    {"min": 3.0e38, "max": -3.0e38}, {"min": 1e-45, "max": 1e-45}, {"mean": 1e30},
    {"coder": 0}, {"coder": 1}, {"method": b"cf53"}, {"method": b"db04"},
]


@pytest.mark.parametrize("fields", CRAFTED_FIELDS, ids=[str(f) for f in CRAFTED_FIELDS])
@pytest.mark.parametrize("coder", ["deflate", "arans"])
def test_crafted_header_fields(fields, coder, streams):
    for length in (37, 1000):
        decode_or_refuse(with_header(streams[("cdf97", coder, length)], **fields))


def test_payload_of_the_other_coder(streams):
    # A valid payload read by the wrong decoder.
    for method in METHODS:
        for length in (37, 1000, 9000):
            deflate = streams[(method, "deflate", length)]
            arans = streams[(method, "arans", length)]
            decode_or_refuse(with_header(deflate, coder=1))
            decode_or_refuse(with_header(arans, coder=0))


# --- Properties over hostile signals --------------------------------------------

SPECIAL_VALUES = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, -1e-45, 1e-40, 1.17e-38,
                  1e-30, 1e30, 3.4e38, -3.4e38, 1.0, -1.0, 65504.0]
MAGNITUDES = [1e-44, 1e-38, 1e-20, 1e-6, 1.0, 1e6, 1e20, 1e37]

# Largest sum of |synthesis weights| per output sample (measured with
# tests/fuzz/synthesis_gain.cc), rounded up: how far a bounded error per
# coefficient can move one reconstructed sample.
SYNTHESIS_GAIN = {"cdf53": 9.5, "cdf97": 8.5, "db4": 4.0, "sym4": 4.0}
FLAT_RANGE = np.float32(9.99999975e-6)
FLOAT32_MAX = float(np.finfo(np.float32).max)


@st.composite
def hostile_signals(draw):
    # Overflow to infinity while drawing is one of the cases wanted.
    with np.errstate(over="ignore", invalid="ignore"):
        return _hostile_signal(draw)


def _hostile_signal(draw):
    length = draw(st.integers(1, 5000))
    kind = draw(st.sampled_from(["specials", "runs", "scaled", "offset"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if kind == "specials":
        # Mostly ordinary samples with special values sprinkled in.
        x = rng.standard_normal(length).astype(np.float32) * np.float32(draw(st.sampled_from(MAGNITUDES)))
        count = draw(st.integers(0, min(length, 20)))
        positions = rng.integers(0, length, count)
        x[positions] = rng.choice(np.array(SPECIAL_VALUES, dtype=np.float32), count)
    elif kind == "runs":
        values = np.array(draw(st.lists(st.sampled_from(SPECIAL_VALUES + [2.5, -7.0]), min_size=1, max_size=6)),
                          dtype=np.float32)
        runs = rng.integers(1, 400, length)
        x = np.repeat(values[np.arange(length) % len(values)], runs)[:length].astype(np.float32)
    elif kind == "scaled":
        x = (np.cumsum(rng.standard_normal(length)) * draw(st.sampled_from(MAGNITUDES))).astype(np.float32)
    else:
        offset = np.float32(draw(st.sampled_from([1e3, 1e6, -1e7, 3e38])))
        x = (offset + rng.integers(-50, 50, length).astype(np.float32)
             * np.float32(draw(st.sampled_from([1e-3, 1.0, 100.0])))).astype(np.float32)
    return x


options = st.builds(
    lambda method, scale, cutoff, coder: (method, scale, cutoff, coder),
    st.sampled_from(METHODS), st.integers(6, 12), st.sampled_from(["low", "medium", "high"]),
    st.sampled_from([None, "auto", "arans", "deflate"]),
)


def sanitised(x):
    y = np.where(np.isnan(x), np.float32(0), x)
    y = np.where(np.isposinf(y), np.float32(1), y)
    return np.where(np.isneginf(y), np.float32(0), y).astype(np.float32)


def saturated(deflate_stream: bytes) -> bool:
    q = np.frombuffer(zlib.decompress(deflate_stream[HEADER_SIZE:], -15), dtype="<i2")
    return bool(np.any((q == 32767) | (q == -32768)))


def error_bound(x, method, scale, cutoff):
    with np.errstate(over="ignore"):
        lo, hi = np.float32(x.min()), np.float32(x.max())
        value_range = np.float32(hi - lo)
    if not value_range > FLAT_RANGE:
        # A flat signal decodes to copies of its minimum; the exact range, as
        # the float32 one may have rounded down.
        return float(hi) - float(lo)
    base = (scale - 6) // 2 * {"low": 1, "medium": 3, "high": 7}[cutoff]
    eps = float(np.finfo(np.float32).eps)
    return (SYNTHESIS_GAIN[method] * max(base, 1) * 2.0 ** -scale * float(value_range)
            + 256 * eps * (float(value_range) + max(abs(float(lo)), abs(float(hi)))))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(x=hostile_signals(), opts=options)
def test_hostile_signals_round_trip_within_the_quantiser_bound(x, opts):
    method, scale, cutoff, coder = opts
    before = x.tobytes()
    y_sanitised = sanitised(x)
    with np.errstate(over="ignore"):
        range_is_finite = np.isfinite(np.float32(y_sanitised.max()) - np.float32(y_sanitised.min()))
    try:
        stream = compress_signal(x, Opts(method, scale, cutoff, coder))
    except ValueError as error:
        # The only refusal for a non-empty array: extremes whose range does
        # not fit float32.
        assert not range_is_finite, str(error)
        assert str(error).startswith("Unsupported compression configuration"), str(error)
        return
    assert x.tobytes() == before
    assert range_is_finite
    assert compress_signal(x, Opts(method, scale, cutoff, coder)) == stream
    restored = decompress_signal(stream)
    assert restored.shape == x.shape and restored.dtype == np.float32
    # Both coders carry the same coefficients, so they reconstruct the same bits.
    deflate = stream if coder == "deflate" else compress_signal(x, Opts(method, scale, cutoff, "deflate"))
    assert decompress_signal(deflate).tobytes() == restored.tobytes()
    if saturated(deflate):
        return  # the quantiser's clamp: no error bound holds for those coefficients
    bound = error_bound(y_sanitised, method, scale, cutoff)
    assert not np.any(np.isnan(restored))
    # A sample within the bound of the largest float may round to infinity
    # when the normalisation is undone; nowhere else is one acceptable.
    overflowed = np.isinf(restored)
    assert np.all(np.abs(y_sanitised[overflowed].astype(np.float64)) + bound > FLOAT32_MAX)
    error = np.abs(restored[~overflowed].astype(np.float64) - y_sanitised[~overflowed].astype(np.float64))
    assert error.size == 0 or float(error.max()) <= bound


# --- Error paths under load -------------------------------------------------------

def _error_path_streams():
    good = stream_for("cdf97", "arans", 300, seed=3)
    good_deflate = stream_for("cdf53", "deflate", 300, seed=3)
    payload = good[HEADER_SIZE:]
    return [
        ("short header", good[:51], "Header is invalid"),
        ("magic", b"QRVX" + good[4:], "Magic should be 'QRVN' but it was 'QRVX'"),
        ("version", good[:4] + b"\x02\x01" + good[6:], "Invalid header version"),
        ("tag", good[:6] + b"f4" + good[8:], "Invalid compression method 'f4'"),
        ("method", with_header(good, method=b"zz99"), "Invalid compression method 'zz99'"),
        ("scale", with_header(good, scale=13), "Only scaled 6..12 is supported, but it was 13"),
        ("coder", with_header(good, coder=3), "Unknown entropy coder 3"),
        ("non-finite", with_header(good, min=float("inf")), "Header is invalid"),
        ("too many samples", with_header(good, sample_count=2**31),
         "Can't decompress data, reason: Can't decompress data bigger than 2147483647"),
        ("levels 11", with_header(good, levels=11), "Can't decompress data, reason: Max supported level is 10"),
        ("levels 0", with_header(good, levels=0), "Can't decompress data, reason: Min supported level is 1"),
        ("no samples", with_header(good, sample_count=0), "Can't decompress data, reason: "),
        ("short payload", good[:-1], "Can't decompress data, reason: Minimum data size is"),
        ("corrupt deflate", with_payload(good_deflate, b"\x07" + bytes(20)),
         "Can't decompress data, reason: corrupt deflate stream"),
        ("rANS truncated", with_payload(good, payload[:len(payload) // 2]),
         "Can't decompress data, reason: Stream truncated"),
        ("rANS context bits", with_payload(good, payload[:1] + b"\x09" + payload[2:]),
         "Can't decompress data, reason: Inconsistent or oversized length in stream"),
        ("rANS pair count", with_payload(good, payload[:2] + b"\x81\x80\x80\x80\x01" + bytes(12)),
         "Can't decompress data, reason: Inconsistent or oversized length in stream"),
        ("short coefficients", with_header(good, sample_count=5000), "Can't decompress data, reason: "),
        ("deflate cut short", with_payload(good_deflate, good_deflate[HEADER_SIZE:HEADER_SIZE + 10]),
         "Can't decompress data, reason: "),
    ]


ERROR_PATHS = _error_path_streams()
TOTAL_CALLS = 100_000


def test_every_error_path_is_reached():
    for name, stream, message in ERROR_PATHS:
        with pytest.raises(ValueError) as raised:
            decompress_signal(stream)
        assert str(raised.value).startswith(message), (name, str(raised.value))


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def _run_error_paths(count):
    streams = [stream for _, stream, _ in ERROR_PATHS]
    for i in range(count):
        try:
            decompress_signal(streams[i % len(streams)])
        except ValueError:
            pass


def test_error_paths_keep_no_memory_or_references():
    streams = [stream for _, stream, _ in ERROR_PATHS]
    _run_error_paths(10 * len(streams))  # warm up
    gc.collect()
    refs_before = [sys.getrefcount(stream) for stream in streams]
    blocks_before = sys.getallocatedblocks()
    rss_before = _rss_bytes()
    tracemalloc.start()
    traced_before, _ = tracemalloc.get_traced_memory()

    _run_error_paths(TOTAL_CALLS)

    gc.collect()
    traced_after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    block_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = _rss_bytes() - rss_before
    print(f"\n{TOTAL_CALLS} failing decompress calls over {len(streams)} error paths: "
          f"allocated blocks {block_growth:+d}, traced Python memory {traced_after - traced_before:+d} B, "
          f"RSS {rss_growth / 1024:+.0f} KiB")
    assert [sys.getrefcount(stream) for stream in streams] == refs_before
    # One object or one exception kept per call would be 10^5 blocks.
    assert block_growth < 100
    assert traced_after - traced_before < 64 * 1024
    if not UNDER_ASAN:  # ASan keeps freed memory in quarantine
        assert rss_growth < 4 * 1024 * 1024


# --- Threads --------------------------------------------------------------------

THREADS = 8


def test_eight_threads_see_the_bytes_of_one():
    inputs = [smooth_signal(length, seed=length) for length in (7, 300, 4099, 20000)]
    inputs.append(np.array([np.nan, np.inf, -np.inf, 1e-40, 3.0, 3.0], dtype=np.float32))
    option_sets = [Opts(method=method, coder=coder, scale=scale, cutoff=cutoff)
                   for method in METHODS for coder in ("deflate", "arans", "auto")
                   for scale, cutoff in ((6, "low"), (11, "high"))]
    jobs = [(x, opts) for x in inputs for opts in option_sets]
    damaged = [stream for _, stream, _ in ERROR_PATHS]

    def run(job):
        x, opts = job
        stream = compress_signal(x, opts)
        return stream, decompress_signal(stream).tobytes()

    def run_damaged(stream):
        try:
            return decompress_signal(stream).tobytes()
        except ValueError as error:
            return str(error)

    expected = [run(job) for job in jobs]
    expected_damaged = [run_damaged(stream) for stream in damaged]
    results = [None] * THREADS
    failures = []
    barrier = threading.Barrier(THREADS)

    def worker(index):
        try:
            barrier.wait()
            order = list(range(len(jobs)))
            random.Random(index).shuffle(order)
            got = {}
            for i in order:
                got[i] = run(jobs[i])
                # Interleave error paths with the successful calls.
                got[("damaged", i % len(damaged))] = run_damaged(damaged[i % len(damaged)])
            results[index] = got
        except BaseException as error:  # reported below, in the main thread
            failures.append(repr(error))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures
    for got in results:
        assert [got[i] for i in range(len(jobs))] == expected
        assert [got[("damaged", k)] for k in range(len(damaged))] == expected_damaged
