"""The trailer after a stream: exact bytes, non-finite values back where they
were, and every crafted or damaged trailer refused with one clear error."""
import re
import struct
import zlib

import numpy as np
import pytest
import quorvane
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvane_tools.header import HeaderError, parse_header
from quorvane_tools.streams import SampleRangeError, decode_signal, encode_signal
from quorvane_tools.trailer import (
    FOOTER_SIZE, NonFiniteRuns, TrailerError, build_trailer, find_non_finite, read_trailer,
)

from tools_support import quantiser_error, synthetic_signals

CHIRP = synthetic_signals()["chirp"]
STREAM = quorvane.compress_signal(CHIRP[:300])
KIND_OF = {0: np.nan, 1: np.inf, 2: -np.inf}


def with_records(records, stream=STREAM, version=1, dtype=1, reserved=0, length=None, magic=b"QVTR"):
    """A chunk with the given record bytes and a correct checksum."""
    length = len(records) + FOOTER_SIZE if length is None else length
    head = stream + records + struct.pack("<BBHI", version, dtype, reserved, length)
    return head + struct.pack("<I", zlib.crc32(head)) + magic


def same_values(a, b):
    return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)


# ------------------------------------------------------------ exact bytes


def test_documented_example_record():
    samples = np.array([1, np.nan, np.nan, 2, np.inf, -np.inf] + [3] * 10, np.float32)
    runs = find_non_finite(samples)
    assert runs.as_list() == [(1, 2, 0), (4, 1, 1), (5, 1, 2)]
    chunk = encode_signal(samples)
    stream = chunk[:parse_header(chunk).stream_len]
    trailer = chunk[len(stream):]
    assert trailer == with_records(bytes.fromhex("01 07 03 01 08 01 05 00 06"), stream)[len(stream):]
    assert trailer.hex(" ") == "01 07 03 01 08 01 05 00 06 01 01 00 00 19 00 00 00 f6 a1 41 cc 51 56 54 52"
    wide = build_trailer(stream, "float64", runs)
    assert wide[-16:].hex(" ") == "01 02 00 00 19 00 00 00 6b bb a9 fd 51 56 54 52"


def test_documented_all_nan_chunk():
    golden = bytes.fromhex(
        "51 52 56 4e 01 01 66 33 63 66 39 37 01 0b 01 00 01 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 18 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 03 0a 0a 7b 01 f8 00 0f d0 f8 b7 40 69 7b 01 f8 00 0f d0 "
        "f8 b7 40 69 02 01 04 01 03 01 00 10 01 01 00 00 18 00 00 00 32 6a 76 34 "
        "51 56 54 52 ")
    assert encode_signal(np.full(4, np.nan, np.float32)) == golden
    decoded, trailer = decode_signal(golden)
    assert np.isnan(decoded).all() and decoded.size == 4 and trailer.sample_count == 4


def test_empty_float64_trailer_bytes():
    trailer = build_trailer(STREAM, "float64")
    assert trailer == struct.pack("<BBHII4s", 1, 2, 0, 16, zlib.crc32(STREAM + trailer[:8]), b"QVTR")


def test_long_runs_use_multi_byte_varints():
    samples = np.zeros(300_000, np.float32)
    samples[200_000:] = -np.inf
    chunk = encode_signal(samples)
    # gap 200000 = 0xC0 0x9A 0x0C; code 100000 << 2 | 2 = 400002 = 0x82 0xB5 0x18
    assert bytes.fromhex("01 07 01 c0 9a 0c 82 b5 18") in chunk
    assert same_values(decode_signal(chunk)[0][199_998:200_002], [0, 0, -np.inf, -np.inf])


# ------------------------------------------------------------ round trips


@st.composite
def signals_with_gaps(draw):
    size = draw(st.integers(1, 3000))
    dtype = draw(st.sampled_from([np.float32, np.float64]))
    values = CHIRP[:size].astype(dtype) if size <= CHIRP.size else np.resize(CHIRP, size).astype(dtype)
    for _ in range(draw(st.integers(0, 6))):
        start = draw(st.integers(0, size - 1))
        length = draw(st.integers(1, max(1, size // 4)))
        values[start:start + length] = draw(st.sampled_from([np.nan, np.inf, -np.inf]))
    return values


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(samples=signals_with_gaps(), always=st.booleans())
def test_non_finite_values_come_back_where_they_were(samples, always):
    chunk = encode_signal(samples, always_trailer=always)
    decoded, trailer = decode_signal(chunk)
    assert decoded.dtype == samples.dtype and decoded.size == samples.size
    for test in (np.isnan, np.isposinf, np.isneginf):
        np.testing.assert_array_equal(test(decoded), test(samples))
    finite = np.isfinite(samples)
    if finite.any():
        error = np.max(np.abs(decoded[finite] - samples[finite]))
        assert error <= quantiser_error(samples[finite])
    # The stream decoder alone still reads every chunk with a trailer.
    assert quorvane.decompress_signal(chunk).size in (samples.size, 1)
    assert trailer.checksummed == (always or not finite.all() or samples.dtype == np.float64)


@pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("size", [1, 7, 100_000])
def test_all_non_finite_chunk_costs_a_few_bytes(fill, size):
    chunk = encode_signal(np.full(size, fill, np.float64))
    assert len(chunk) <= 110
    decoded, trailer = decode_signal(chunk)
    assert decoded.dtype == np.float64 and same_values(decoded, np.full(size, fill))
    assert trailer.sample_count == size


def test_scattered_nan_positions_are_deflated():
    samples = np.resize(CHIRP, 60_000)
    samples[np.random.default_rng(7).random(samples.size) < 0.1] = np.nan
    chunk = encode_signal(samples)
    trailer = read_trailer(chunk)
    assert chunk[len(chunk) - trailer_length(chunk)] == 0x03
    plain = find_non_finite(samples)
    # Two bytes a run as plain varints; DEFLATE needs less than 1.
    assert trailer_length(chunk) < len(plain)
    assert trailer.runs.as_list() == plain.as_list()


def trailer_length(chunk):
    return struct.unpack_from("<I", chunk, len(chunk) - 12)[0]


def test_replacements_stay_inside_the_finite_range():
    samples = CHIRP[:4000].copy()
    samples[::10] = np.nan
    samples[:50] = np.inf
    stream = encode_signal(samples)
    header_min, header_max = struct.unpack_from("<ff", stream, 20)
    finite = samples[np.isfinite(samples)]
    assert (header_min, header_max) == (finite.min(), finite.max())


def test_legacy_float64_marker_still_reads():
    decoded, trailer = decode_signal(STREAM + b"QVf8")
    assert decoded.dtype == np.float64 and trailer.form == "legacy-float64" and not trailer.checksummed
    np.testing.assert_array_equal(decoded, quorvane.decompress_signal(STREAM))


def test_bare_stream_reads_without_checksum():
    decoded, trailer = decode_signal(STREAM)
    assert trailer.form == "none" and decoded.dtype == np.float32


@pytest.mark.parametrize("value", [1e300, -3.5e38, np.finfo(np.float64).max])
def test_float64_beyond_float32_is_refused(value):
    samples = np.array([0.5, 1.0, value, value], np.float64)
    with pytest.raises(SampleRangeError, match=re.escape(f"sample 2 is {float(value)!r}, beyond float32's range")):
        encode_signal(samples)


def test_float64_just_above_float32_max_rounds_to_it():
    edge = float(np.finfo(np.float32).max) * (1 + 2.0 ** -26)
    assert np.float32(edge) == np.finfo(np.float32).max
    encode_signal(np.array([edge, edge * 0.5]))


# ------------------------------------------------------------ refusals


def _runs(*numbers):
    body = b"".join(_varint(n) for n in numbers)
    return b"\x01" + _varint(len(body)) + body


def _deflated(body, tail=b""):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = packer.compress(body) + packer.flush() + tail
    return b"\x03" + _varint(len(packed)) + packed


def _varint(value):
    out = bytearray()
    while True:
        out.append((value & 0x7F) | (0x80 if value > 0x7F else 0))
        value >>= 7
        if not value:
            return bytes(out)


@pytest.mark.parametrize(
    "chunk,message",
    [
        (STREAM[:-1], "Minimum data size|truncated"),
        (STREAM + b"junk", "not a quorvane trailer"),
        (STREAM + b"QVf8QVf8", "not a quorvane trailer"),
        (with_records(b"")[:-17] + with_records(b"")[-16:], "not a quorvane trailer"),
        (with_records(b"", length=17), "trailer length 17 does not match"),
        (with_records(b"", version=2), "trailer version 2 is not supported"),
        (with_records(b"", dtype=3), "unknown dtype code 3"),
        (with_records(b"", reserved=1), "reserved field is 1"),
        (with_records(b"\x01\x05\x01"), "claims 5 bytes, 1 remain"),
        (with_records(b"\x01"), "ends inside its length"),
        (with_records(b"\x01\xff\xff\xff\xff\xff\x01"), "length is longer than 5 bytes"),
        (with_records(b"\x04\x00"), "record 0x04 is not known"),
        (with_records(_deflated(b"\x01\x00\x04")[:-2] + b"\x00\x01"), "damaged|do not end"),
        (with_records(_deflated(b"\x01\x00\x04", tail=b"x")), "do not end where their record does"),
        (with_records(_deflated(bytes(10_000))), "inflate beyond 3005 bytes"),
        (with_records(_deflated(b"\x01\x00\x04") + _runs(1, 0, 4)), "runs twice"),
        (with_records(_deflated(b"\x01\x00\x03")), "unknown kind"),
        (with_records(b"\x90\x02ab"), None),  # skippable: reads as a plain float32 chunk
        (with_records(_runs(1, 0, 4) + _runs(1, 0, 4)), "appears twice"),
        (with_records(b"\x01\x00"), "non-finite runs record is empty"),
        (with_records(b"\x01\x01\x81"), "ends inside a number"),
        (with_records(b"\x01\x06\x80\x80\x80\x80\x80\x01"), "longer than 5 bytes"),
        (with_records(_runs(2**31 - 1, 0, 4)), r"claims 2147483647 non-finite runs in 300 samples"),
        (with_records(_runs(2, 0, 4)), "claims 2 non-finite runs in 300 samples and holds 1"),
        (with_records(_runs(1, 0, 4, 7)), "and holds 1"),
        (with_records(_runs(1, 0, 3)), "unknown kind"),
        (with_records(_runs(1, 0, 0)), "run outside the 300 samples"),
        (with_records(_runs(1, 299, 8)), "run outside the 300 samples"),
        (with_records(_runs(1, 2**34, 4)), "run outside the 300 samples"),
        (with_records(_runs(2, 100, 400, 100, 400)), "run outside the 300 samples"),
        (with_records(b"\x02\x01\x00" + _runs(1, 0, 4)), r"not one count of 1..2\^31-1"),
        (with_records(b"\x02\x02\x05\x05" + _runs(1, 0, 20)), "not one count"),
        (with_records(b"\x02\x01\x05" + _runs(1, 0, 16)), "gives 5 samples but its runs cover 4"),
        (with_records(b"\x02\x01\x05"), "gives 5 samples but its runs cover 0"),
    ],
)
def test_crafted_trailers_are_refused(chunk, message):
    if message is None:
        decoded, trailer = decode_signal(chunk)
        assert decoded.size == 300 and trailer.checksummed
        return
    with pytest.raises(ValueError, match=message):
        decode_signal(chunk)


def test_a_placeholder_chunk_of_the_largest_count_reads_without_decoding_the_stream():
    count = 5_000_000
    chunk = with_records(b"\x02" + _varint(len(_varint(count))) + _varint(count) + _runs(1, 0, count << 2))
    assert read_trailer(chunk).sample_count == count


@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_any_flipped_bit_is_detected(data):
    samples = CHIRP[:500].astype(np.float64)
    samples[10:20] = np.nan
    chunk = bytearray(encode_signal(samples))
    bit = data.draw(st.integers(0, 8 * len(chunk) - 1))
    chunk[bit // 8] ^= 1 << (bit % 8)
    with pytest.raises((TrailerError, HeaderError, ValueError)):
        decode_signal(bytes(chunk))


@settings(max_examples=300, deadline=None)
@given(records=st.binary(max_size=64), version=st.sampled_from([1, 1, 1, 2]), dtype=st.integers(0, 3))
def test_arbitrary_records_fail_cleanly_or_decode_within_bounds(records, version, dtype):
    chunk = with_records(records, version=version, dtype=dtype)
    try:
        decoded, trailer = decode_signal(chunk)
    except TrailerError:
        return
    assert decoded.size == (trailer.sample_count or 300)
    assert len(trailer.runs) <= len(records)


def test_build_refuses_what_it_cannot_describe():
    with pytest.raises(ValueError, match="one stream of"):
        build_trailer(STREAM + b"x", "float32")
    with pytest.raises(ValueError, match="float32 or float64, not int16"):
        build_trailer(STREAM, "int16")
    runs = NonFiniteRuns(np.array([299]), np.array([2]), np.array([0]))
    with pytest.raises(ValueError, match="beyond the chunk's samples"):
        build_trailer(STREAM, "float32", runs)
