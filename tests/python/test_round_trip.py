"""Streams from compress_signal and arrays from decompress_signal."""
import gc
import re
import struct

import numpy as np
import pytest
from quorvane import QuorvCompressionOptions as Opts
from quorvane import compress_signal, decompress_signal

from conftest import smooth_signal

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["deflate", "arans", "auto"]
PROBE = smooth_signal(256)


def method_available(method: str) -> bool:
    try:
        compress_signal(PROBE, Opts(method=method))
    except ValueError:
        return False
    return True


AVAILABLE = {method: method_available(method) for method in METHODS}


def require(method):
    if not AVAILABLE[method]:
        pytest.skip(f"{method} is not built into this tree")


def peak_error(x, y):
    return float(np.max(np.abs(x.astype(np.float64) - y.astype(np.float64))))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("length", [1, 2, 5, 19, 20, 79, 80, 257, 2560, 10007])
def test_round_trip(method, coder, length):
    require(method)
    x = smooth_signal(length, seed=length)
    stream = compress_signal(x, Opts(method=method, coder=coder))
    y = decompress_signal(stream)
    assert type(y) is np.ndarray and y.dtype == np.float32 and y.shape == (length,)
    # Scale 11 quantises in steps of 2^-11 of the signal's range; the
    # transform spreads that over a few coefficients.
    span = float(x.max() - x.min()) or 1.0
    assert peak_error(x, y) <= 0.01 * span
    # The same input and options give the same bytes.
    assert compress_signal(x, Opts(method=method, coder=coder)) == stream


@pytest.mark.parametrize("scale", range(6, 13))
def test_finer_scales_reconstruct_closer(scale):
    x = smooth_signal(3000)
    coarse = peak_error(x, decompress_signal(compress_signal(x, Opts(scale=6, cutoff="low"))))
    fine = peak_error(x, decompress_signal(compress_signal(x, Opts(scale=scale, cutoff="low"))))
    assert fine <= coarse * 1.01
    assert fine <= 2.0 ** (4 - scale) * float(x.max() - x.min())


def test_constant_signal_round_trips_exactly_enough():
    x = np.full(500, 3.25, np.float32)
    y = decompress_signal(compress_signal(x))
    assert np.allclose(y, 3.25, atol=1e-6)


class TestOptionEquivalences:
    x = smooth_signal(1500)

    def test_no_options_none_and_default_instance_are_the_same(self):
        reference = compress_signal(self.x)
        assert compress_signal(self.x, None) == reference
        assert compress_signal(self.x, options=None) == reference
        assert compress_signal(self.x, Opts()) == reference

    @pytest.mark.parametrize("method", METHODS)
    def test_auto_is_arans(self, method):
        require(method)
        assert (compress_signal(self.x, Opts(method=method, coder="auto"))
                == compress_signal(self.x, Opts(method=method, coder="arans")))

    @pytest.mark.parametrize("method", METHODS)
    def test_deflate_differs_only_in_coder_and_payload(self, method):
        require(method)
        arans = compress_signal(self.x, Opts(method=method, coder="arans"))
        deflate = compress_signal(self.x, Opts(method=method, coder="deflate"))
        assert arans[14] == 1 and deflate[14] == 0
        for stream in (arans, deflate):
            assert len(stream) == 52 + struct.unpack_from("<I", stream, 32)[0]

        def fixed_fields(stream):
            return stream[:14] + stream[15:32] + stream[36:52]

        assert fixed_fields(arans) == fixed_fields(deflate)
        assert np.array_equal(decompress_signal(arans), decompress_signal(deflate))


def test_header_describes_the_call():
    x = smooth_signal(777)
    stream = compress_signal(x, Opts("cdf53", 7, "medium", "deflate"))
    assert stream[:8] == b"QRVN\x01\x01f3"
    assert stream[8:12] == b"cf53"
    assert (stream[13], stream[14], stream[15]) == (7, 0, 0)
    assert struct.unpack_from("<I", stream, 16)[0] == 777
    lo, hi = struct.unpack_from("<ff", stream, 20)
    assert (lo, hi) == (float(x.min()), float(x.max()))
    assert stream[36:52] == bytes(16)


class TestDecodedArray:
    stream = compress_signal(smooth_signal(999))

    def test_properties(self):
        y = decompress_signal(self.stream)
        assert type(y) is np.ndarray
        assert y.dtype == np.dtype(np.float32) and y.dtype.isnative
        assert y.ndim == 1 and y.shape == (999,) and y.strides == (4,)
        assert y.flags.c_contiguous and y.flags.writeable and y.flags.aligned
        # The codec's buffer is the array's memory, kept by the base object.
        assert not y.flags.owndata and y.base is not None

    def test_each_call_gets_its_own_buffer(self):
        a = decompress_signal(self.stream)
        b = decompress_signal(self.stream)
        a[:] = 7.0
        assert not np.shares_memory(a, b)
        assert not np.array_equal(a, b)

    def test_views_keep_the_buffer_alive(self):
        y = decompress_signal(self.stream)
        expected = y[100:200].copy()
        view = y[100:200]
        del y
        gc.collect()
        np.full(10**5, 12345.0, np.float32)  # churn the allocator
        assert np.array_equal(view, expected)

    def test_bytes_subclass_is_accepted(self):
        class Stream(bytes):
            pass

        assert np.array_equal(decompress_signal(Stream(self.stream)), decompress_signal(self.stream))

    def test_trailing_bytes_are_ignored(self):
        assert np.array_equal(decompress_signal(self.stream + b"tail"), decompress_signal(self.stream))


@pytest.mark.parametrize(
    "data, expected",
    [
        (bytearray(b"QRVN"), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"QRVN"), "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
        ("QRVN", "argument 'data': 'str' object is not an instance of 'bytes'"),
        (None, "argument 'data': 'None' is not an instance of 'bytes'"),
        (np.zeros(60, np.uint8), "argument 'data': 'ndarray' object is not an instance of 'bytes'"),
        ([1, 2], "argument 'data': 'list' object is not an instance of 'bytes'"),
    ],
)
def test_decompress_refuses_non_bytes(data, expected):
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        decompress_signal(data)


def _patched(stream, offset, replacement):
    return stream[:offset] + replacement + stream[offset + len(replacement):]


GOOD = compress_signal(smooth_signal(300))


@pytest.mark.parametrize(
    "stream, message",
    [
        (b"", "Header is invalid"),
        (GOOD[:51], "Header is invalid"),
        (_patched(GOOD, 0, b"ABCD"), "Magic should be 'QRVN' but it was 'ABCD'"),
        (_patched(GOOD, 0, b"\xff\xfe\xfd\xfc"), "Magic should be 'QRVN' but it was '????'"),
        (_patched(GOOD, 0, b"\0\0\0\0"), "Magic should be 'QRVN' but it was '\0\0\0\0'"),
        (_patched(GOOD, 4, b"\x02\x01"), "Invalid header version '\x02\x01'"),
        (_patched(GOOD, 6, b"f4"), "Invalid compression method 'f4'"),
        (_patched(GOOD, 8, b"wxyz"), "Invalid compression method 'wxyz'"),
        (_patched(GOOD, 13, b"\x0d"), "Only scaled 6..12 is supported, but it was 13"),
        (_patched(GOOD, 14, b"\x03"), "Unknown entropy coder 3"),
        (_patched(GOOD, 20, struct.pack("<f", float("inf"))), "Header is invalid"),
    ],
)
def test_decompress_reports_header_errors(stream, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        decompress_signal(stream)


@pytest.mark.parametrize("cut", [1, 2, 10])
@pytest.mark.parametrize("coder", ["deflate", "arans"])
def test_truncated_payload_is_value_error(cut, coder):
    stream = compress_signal(smooth_signal(2000), Opts(coder=coder))
    with pytest.raises(ValueError):
        decompress_signal(stream[:-cut])


def test_garbage_payloads_never_crash():
    rng = np.random.default_rng(3)
    header = bytearray(GOOD[:52])
    for coder in (0, 1):
        header[14] = coder
        for _ in range(200):
            payload = rng.integers(0, 256, rng.integers(0, 300), dtype=np.uint8).tobytes()
            header[32:36] = struct.pack("<I", len(payload))
            try:
                y = decompress_signal(bytes(header) + payload)
            except (ValueError, MemoryError):
                continue
            assert y.dtype == np.float32 and y.shape == (300,)
