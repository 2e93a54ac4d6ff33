"""Samples rebuilt from coder-0 and coder-1 streams by a decoder written in
Python and NumPy from docs/format.md alone (the plane coder, dequantisation,
the four inverse transforms, denormalisation), compared bit for bit with
decompress_signal: if the document leaves out or misstates a step or a
rounding point, the two disagree."""
import struct
import zlib

import numpy as np
import pytest

from quorvane import QuorvCompressionOptions, compress_signal, decompress_signal
# Band sizes come from section 2 of the format document, as the coder-2
# decoder beside this file derives them; both decoders share that reading.
from test_band_coder_format import FILTER_LENGTH, band_sizes

HEADER_SIZE = 52
F32 = np.float32
FLT_MAX = F32(np.finfo(np.float32).max)
def f32_bits(*bits):
    return np.array(bits, dtype=np.uint32).view(np.float32)


ALPHA, BETA, GAMMA, DELTA, K, K_PRIME = f32_bits(
    0xBFCB0673, 0xBD5901AE, 0x3F620676, 0x3EE31355, 0x3F93263D, 0x3F5EAF70)
LOW_PASS = {
    b"db04": f32_bits(0x3E6BE829, 0x3F37002F, 0x3F218167, 0xBCE53E38,
                      0xBE3F860E, 0x3CFCA711, 0x3D06B056, 0xBC2DA0BA),
    b"sym4": f32_bits(0x3D03FC5F, 0xBC4E80DF, 0xBDCB339E, 0x3E9880D1,
                      0x3F4DC1D3, 0x3EFEC7E0, 0xBCF2C635, 0xBD9B2B0E),
}


def fma(a, b, c):
    """a * b + c rounded once to binary32. The float64 product of two
    binary32 values is exact; the float64 sum is rounded to odd, which makes
    the final rounding to binary32 the correctly rounded result."""
    a, b, c = (np.asarray(v, dtype=np.float64) for v in (a, b, c))
    with np.errstate(all="ignore"):
        p = a * b
        s = p + c
        t = s - p
        error = (p - (s - t)) + (c - t)
        inexact_even = (error != 0) & ((s.view(np.int64) & 1) == 0)
        s = np.where(inexact_even, np.nextafter(s, np.where(error > 0, np.inf, -np.inf)), s)
        return s.astype(np.float32)


class TransformRefused(Exception):
    pass


def leb128(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def decode_plane(coded, count, context_bits):
    """Section 4, plane coder."""
    if count == 0:
        return []
    x, pos = int.from_bytes(coded[:4], "little"), 4
    table = [2048] * (256 << context_bits)
    out, previous = [], 0
    for _ in range(count):
        node = 1
        for _ in range(8):
            index = (previous >> (8 - context_bits)) * 256 + node
            p = table[index]
            slot = x & 4095
            bit = 1 if slot >= p else 0
            frequency, start = (4096 - p, p) if bit else (p, 0)
            x = frequency * (x >> 12) + slot - start
            while x < 65536:
                x = (x << 16) | int.from_bytes(coded[pos:pos + 2], "little")
                pos += 2
            p = p - (p >> 4) if bit else p + ((4096 - p) >> 4)
            table[index] = min(max(p, 1), 4095)
            node = node * 2 + bit
        previous = node - 256
        out.append(previous)
    return out


def decode_plane_payload(payload):
    """Section 4, framing."""
    if len(payload) <= 5:
        return bytes(payload)
    odd, context_bits = payload[0] & 1, payload[1]
    pairs, pos = leb128(payload, 2)
    plane_a_length, pos = leb128(payload, pos)
    plane_a = decode_plane(payload[pos:pos + plane_a_length], pairs, context_bits)
    plane_b = decode_plane(payload[pos + plane_a_length:len(payload) - odd], pairs, context_bits)
    interleaved = bytes(v for pair in zip(plane_a, plane_b) for v in pair)
    return interleaved + (payload[-1:] if odd else b"")


def predict(e, o, c):
    m = min(len(e) - 1, len(o))
    o[:m] = fma(e[:m] + e[1:m + 1], c, o[:m])
    if len(e) == len(o):
        o[-1] = fma(e[-1] + e[-1], c, o[-1])


def update(e, o, c, interior_end):
    E, O = len(e), len(o)
    first = fma(o[0] + o[0], c, e[0])
    last = fma(o[E - 2] + o[O - 1], c, e[E - 1])
    T = interior_end
    e[1:T] = fma(o[0:T - 1] + o[1:T], c, e[1:T])
    e[0], e[E - 1] = first, last


def cdf97_interior_end(E, O):
    B = (E - 2) // 16
    return E - 1 if O // 16 == B and (O - 1) // 16 == B else 1 + 16 * B


def lifting_step(method, a, d):
    n = len(a) + len(d)
    required_a = max(n - n // 2, 2)
    if len(a) != required_a:
        raise TransformRefused(f"Approximate size {len(a)} does not match required size {required_a}")
    required_d = max(n // 2, 1 if method == b"cf53" else 2)
    if len(d) != required_d:
        raise TransformRefused(f"Details size {len(d)} does not match required size {required_d}")
    e, o = a.copy(), d.copy()
    if method == b"cf97":
        end = cdf97_interior_end(len(e), len(o))
        e, o = e * K_PRIME, o * K
        update(e, o, -DELTA, end)
        predict(e, o, -GAMMA)
        update(e, o, -BETA, end)
        predict(e, o, -ALPHA)
    else:
        update(e, o, F32(-0.25), len(e) - 1)
        predict(e, o, F32(0.5))
    out = np.empty(n, dtype=np.float32)
    out[0:2 * len(o):2], out[1:2 * len(o):2] = e[:len(o)], o
    if n % 2:
        out[-1] = e[-1]
    return out


def synthesis_step(method, a, d):
    lp = LOW_PASS[method]
    hp = np.array([lp[7 - j] if j % 2 == 0 else -lp[7 - j] for j in range(8)], dtype=np.float32)
    P, N = len(a), 2 * len(a) - 6
    out = np.zeros(N, dtype=np.float32)
    i = np.arange(N)
    # Position i meets pairs k = i div 2 + t with tap j = 6 - 2t + (i mod 2),
    # t = 0..3: the passes visit every position's pairs in increasing k.
    for t in range(4):
        k, j = i // 2 + t, 6 - 2 * t + (i % 2)
        live = k < P
        ii, kk, jj = i[live], k[live], j[live]
        approximations_first = (N >= 16) & (kk >= 6) & (kk <= P - 5)
        details_then = fma(lp[jj], a[kk], fma(hp[jj], d[kk], out[ii]))
        approximations_then = fma(hp[jj], d[kk], fma(lp[jj], a[kk], out[ii]))
        out[ii] = np.where(approximations_first, approximations_then, details_then)
    return out


def document_decode(stream):
    """Sections 2, 3 and 4 for a coder-0 or coder-1 stream."""
    method, levels, scale = stream[8:12], stream[12], stream[13]
    sample_count, low, high, mean, payload_len = struct.unpack_from("<IfffI", stream, 16)
    low, high, mean = F32(low), F32(high), F32(mean)
    approximations, details = band_sizes(method, sample_count, levels)
    count = approximations + sum(details)
    payload = stream[HEADER_SIZE:HEADER_SIZE + payload_len]
    if stream[14] == 1:
        raw = decode_plane_payload(payload)
    else:
        raw = zlib.decompressobj(-15).decompress(payload, 2 * count)
    step = np.array([(127 - scale) << 23], dtype=np.uint32).view(np.float32)[0]
    q = np.frombuffer(raw, dtype="<i2")[:count].astype(np.float32) * step

    offsets = np.cumsum([approximations] + details)
    bands = np.split(q, offsets[:-1])
    y = bands[0]
    for i in range(levels, 0, -1):
        if method in LOW_PASS:
            y = synthesis_step(method, y[:details[i - 1]], bands[i])
        else:
            y = lifting_step(method, y, bands[i])

    y = y[:sample_count]
    with np.errstate(all="ignore"):
        out = fma(y + mean, high - low, low)
    out = np.where(out < FLT_MAX, out, FLT_MAX)
    out = np.where(out > -FLT_MAX, out, -FLT_MAX)
    return np.concatenate([out, np.zeros(sample_count - len(out), dtype=np.float32)])


def test_fma_rounds_once():
    # (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 lies halfway between two binary32
    # values; only the tiny addend decides, which a rounded sum would lose.
    x = F32(1 + 2.0**-12)
    assert fma(x, x, F32(2.0**-80)) == F32(1 + 2.0**-11 + 2.0**-23)
    assert fma(x, x, F32(-(2.0**-80))) == F32(1 + 2.0**-11)
    assert fma(x, x, F32(0)) == F32(1 + 2.0**-11)


def signal(n, seed):
    rng = np.random.default_rng(seed)
    walk = np.cumsum(rng.normal(size=n)) + 3 * np.sin(np.arange(n) / 7)
    return walk.astype(np.float32)


# Short signals (decoded at the filter length), odd lengths, and lengths
# whose levels meet the CDF 9/7 update coverage (n mod 32 in {0, 1, 2}).
LENGTHS = [1, 3, 5, 7, 9, 12, 31, 32, 33, 34, 35, 64, 66, 130, 257, 1000, 2113]


@pytest.mark.parametrize("method", ["cdf97", "cdf53", "db4", "sym4"])
@pytest.mark.parametrize("scale, coder", [(6, "deflate"), (12, "deflate"), (9, "arans")])
def test_document_decoder_matches_the_library(method, scale, coder):
    for n in LENGTHS:
        options = QuorvCompressionOptions(method=method, scale=scale, coder=coder)
        stream = compress_signal(signal(n, n), options)
        assert document_decode(stream).tobytes() == decompress_signal(stream).tobytes(), n


def crafted(method, sample_count, levels, low, high, mean, coefficients):
    payload = zlib.compressobj(6, zlib.DEFLATED, -15)
    payload = payload.compress(np.asarray(coefficients, dtype="<i2").tobytes()) + payload.flush()
    header = (b"QRVN\x01\x01f3" + method + bytes([levels, 10, 0, 0])
              + struct.pack("<IfffI", sample_count, low, high, mean, len(payload)) + bytes(16))
    return header + payload


@pytest.mark.parametrize("low, high, mean, value", [
    (-3.4028235e38, 3.4028235e38, 0.0, 0),        # range overflows: NaN becomes +max
    (-3.4028235e38, 3.4028235e38, 0.0, -300),     # -infinity becomes -max
    (3.0e38, 3.4028235e38, 0.9, 4000),            # rounds past the largest float
    (-1.5, 2.5, -0.25, 17),
])
def test_denormalisation_and_clamp(low, high, mean, value):
    approximations, details = band_sizes(b"cf97", 40, 2)
    stream = crafted(b"cf97", 40, 2, low, high, mean, [value] * (approximations + sum(details)))
    assert document_decode(stream).tobytes() == decompress_signal(stream).tobytes()


@pytest.mark.parametrize("method, sample_count, levels", [
    (b"cf97", 10, 4), (b"cf53", 6, 3), (b"cf97", 40, 6)])
def test_too_many_levels_are_refused_as_documented(method, sample_count, levels):
    approximations, details = band_sizes(method, sample_count, levels)
    stream = crafted(method, sample_count, levels, 0.0, 1.0, 0.0,
                     np.arange(approximations + sum(details)) % 7)
    with pytest.raises(TransformRefused) as refused:
        document_decode(stream)
    with pytest.raises(ValueError) as library:
        decompress_signal(stream)
    assert str(library.value) == str(refused.value)
