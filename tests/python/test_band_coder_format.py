"""Coder-2 streams through decompress_signal, checked against a decoder
written in Python from docs/format.md alone: if the document leaves anything
out, this decoder and the library disagree."""
import struct
import zlib

import numpy as np
import pytest

from quorvane import QuorvCompressionOptions, compress_signal, decompress_signal

HEADER_SIZE = 52
FILTER_LENGTH = {b"cf53": 6, b"cf97": 10, b"db04": 8, b"sym4": 8}


def band_sizes(method: bytes, sample_count: int, levels: int):
    """(approximation count, detail counts finest first), section 2."""
    def step(m):
        if method in (b"db04", b"sym4"):
            return (m + 7) // 2, (m + 7) // 2
        return max(m - m // 2, 2), max(m // 2, 1 if method == b"cf53" else 2)

    length = max(sample_count, FILTER_LENGTH[method])
    details = []
    for _ in range(levels):
        length, detail = step(length)
        details.append(detail)
    return length, details


class Truncated(Exception):
    pass


class Inconsistent(Exception):
    pass


class Counter:
    def __init__(self):
        self.p, self.n = 32768, 0

    def update(self, bit):
        rate = self.n + 1 if self.n < 5 else 5
        self.n = min(self.n + 1, 5)
        self.p = self.p - (self.p >> rate) if bit else self.p + ((65536 - self.p) >> rate)


class Model:
    def __init__(self):
        self.length = [[Counter() for _ in range(16)] for _ in range(12)]
        self.mantissa = [[Counter() for _ in range(16)] for _ in range(16)]
        self.sign = [Counter() for _ in range(9)]


def sign_class(v):
    return 0 if v == 0 else (1 if v > 0 else 2)


def decode_band_payload(payload: bytes, approximations: int, details):
    """Section 5, step by step."""
    if len(payload) < 4:
        raise Truncated
    state = {"x": int.from_bytes(payload[:4], "little"), "pos": 4}
    if state["x"] < 65536:
        raise Inconsistent

    def bit(counter):
        x, p = state["x"], counter.p
        slot = x & 0xFFFF
        b = 1 if slot >= p else 0
        frequency, start = (65536 - p, p) if b else (p, 0)
        x = frequency * (x >> 16) + slot - start
        if x < 65536:
            if len(payload) - state["pos"] < 2:
                raise Truncated
            x = (x << 16) | int.from_bytes(payload[state["pos"]:state["pos"] + 2], "little")
            state["pos"] += 2
        state["x"] = x
        counter.update(b)
        return b

    def symbol(model, ctx, sctx):
        length = 0
        while length < 16 and bit(model.length[ctx][length]):
            length += 1
        if length == 0:
            return 0
        if length == 16:
            return -32768
        m = 1
        for t in range(length - 1):
            m = (m << 1) | bit(model.mantissa[length][t])
        return -m if bit(model.sign[sctx]) else m

    approximation_model, detail_model = Model(), Model()
    order = [approximations] + list(reversed(details))  # coding order
    bands = []
    for b, size in enumerate(order):
        model = approximation_model if b == 0 else detail_model
        parent = bands[-1] if b >= 2 and bands[-1] else None
        values, symbols, previous = [], [], 0
        for j in range(size):
            s1 = symbols[j - 1] if j >= 1 else 0
            s2 = symbols[j - 2] if j >= 2 else 0
            parent_activity = parent_sign = 0
            if parent:
                last = len(parent) - 1
                pj = min(j // 2, last)
                qj = min(pj + 1, last) if j % 2 else (pj - 1 if pj > 0 else 0)
                parent_activity = 2 * abs(parent[pj]) + abs(parent[qj])
                parent_sign = sign_class(parent[pj])
            activity = 4 * abs(s1) + 2 * abs(s2) + parent_activity
            ctx = min(activity.bit_length(), 11)
            s = symbol(model, ctx, 3 * sign_class(s1) + parent_sign)
            symbols.append(s)
            if b == 0:
                previous = (previous + s + 32768) % 65536 - 32768
                values.append(previous)
            else:
                values.append(s)
        bands.append(values)
    if state["x"] != 65536 or state["pos"] != len(payload):
        raise Inconsistent
    return bands[0] + [v for band in reversed(bands[1:]) for v in band]


# The worked examples of docs/format.md.
@pytest.mark.parametrize("approximations, details, values, payload", [
    (0, [], [], "00000100"),
    (1, [], [0], "00000200"),
    (1, [], [5], "00809300"),
    (3, [4, 2], [100, 102, 99, 3, -2, 0, 1, -1, 0], "2fb1030076b5464300 80"),
    (1, [1, 1], [-32768, 32767, -32768], "ffffffffffbfff9f0080"),
])
def test_worked_examples(approximations, details, values, payload):
    assert decode_band_payload(bytes.fromhex(payload), approximations, details) == values


@pytest.mark.parametrize("payload, error", [
    ("", Truncated), ("2fb103", Truncated), ("2fb10300", Truncated),
    ("2fb1030076b5464300", Truncated),            # odd: the last word is cut
    ("2fb1030076b546430080 0000", Inconsistent),  # an unread word
    ("2fb1000076b5464300 80", Inconsistent),      # state below 2^16
])
def test_refusals(payload, error):
    with pytest.raises(error):
        decode_band_payload(bytes.fromhex(payload), 3, [4, 2])


# A cdf97 stream of 300 samples at scale 10 (4 levels) whose coefficients
# were recoded with the library's coder-2 encoder.
SIGNAL = (((np.arange(300) * 37) % 101 - 50) / 8).astype(np.float32)
BAND_PAYLOAD = bytes.fromhex("""
41ff7f004ffa59aaf829a36c61dc3ff2dbf7db5ecea4fa492b41883987d2c2b6
c33863e43f8c79deb0bec396d66e550a81027e3c94d0ec3d7af585b046309d45
0cd31decbfe5aa8015011d1545a2fb6ffc0a4c897347423d756aafaa89e5fe7e
11703d36638bbaa12550497d6f7e7bbe98d705e59c546d20db0fb8056f5a8cc2
e425a02e050350f8469c09ffb65a5c0401291027d8082ac9f1f7297179a35271
b080d72a31c99a6c55fd4b69f5681d810dd77f4ed3e415fe60715b8e302ab7ed
5cc9b95a1e119dbee2127fde9766d1d85f2d5301e9484431194025000412ff3f
e3f9800e959926079247730c88ea815336d0b376f9af74b6f61c778a8fe4d334
8fc81a00dba45931197c0b240bc19d5efafef52d7744856e3c58bbab2e342513
7e911e6e3a3da5dbd28aa18e410a802af4bd748e0b7367fd6b901cdf8086398c
21fcff71ef37783ff2fcf668""")


def coder2_stream(reference: bytes, payload: bytes) -> bytes:
    header = bytearray(reference[:HEADER_SIZE])
    header[14] = 2
    header[32:36] = struct.pack("<I", len(payload))
    return bytes(header) + payload


@pytest.fixture(scope="module")
def reference():
    return compress_signal(SIGNAL, QuorvCompressionOptions(method="cdf97", scale=10, coder="deflate"))


def test_library_and_document_decoders_agree(reference):
    method, levels = reference[8:12], reference[12]
    sample_count = struct.unpack_from("<I", reference, 16)[0]
    approximations, details = band_sizes(method, sample_count, levels)
    coefficients = np.frombuffer(zlib.decompress(reference[HEADER_SIZE:], wbits=-15), dtype="<i2")
    decoded = decode_band_payload(BAND_PAYLOAD, approximations, details)
    assert decoded == coefficients.tolist()

    stream = coder2_stream(reference, BAND_PAYLOAD)
    assert decompress_signal(stream).tobytes() == decompress_signal(reference).tobytes()


@pytest.mark.parametrize("payload, message", [
    (BAND_PAYLOAD[:-1], "Stream truncated"),
    (BAND_PAYLOAD[:-2], "Stream truncated"),
    (BAND_PAYLOAD + b"\0\0", "Inconsistent or oversized length in stream"),
    (BAND_PAYLOAD[:100] + bytes([BAND_PAYLOAD[100] ^ 4]) + BAND_PAYLOAD[101:],
     "Inconsistent or oversized length in stream"),
], ids=["odd", "word short", "extra word", "bit flip"])
def test_damaged_coder2_streams_raise_value_error(reference, payload, message):
    with pytest.raises(ValueError, match=f"^Can't decompress data, reason: {message}$"):
        decompress_signal(coder2_stream(reference, payload))


def test_coder2_is_never_written_by_default():
    assert compress_signal(SIGNAL)[14] == 1
    assert compress_signal(SIGNAL, QuorvCompressionOptions(coder="auto"))[14] == 1
