"""parse_header against streams the extension writes, and against the
extension's own parser on damaged headers (same verdict, same text)."""
import struct

import numpy as np
import pytest
import quorvane

from quorvane_tools import HeaderError, parse_header
from quorvane_tools.header import HEADER_SIZE

from tools_support import synthetic_signals

SIGNAL = synthetic_signals()["chirp"][:3000]


@pytest.mark.parametrize("method,code", [("cdf97", "cf97"), ("cdf53", "cf53"), ("db4", "db04"), ("sym4", "sym4")])
@pytest.mark.parametrize("coder,coder_id", [("deflate", 0), ("arans", 1), ("auto", 1)])
def test_fields_of_real_streams(method, code, coder, coder_id):
    stream = quorvane.compress_signal(SIGNAL, quorvane.QuorvCompressionOptions(method=method, scale=9, coder=coder))
    header = parse_header(stream)
    assert header.method == method and header.method_code == code.encode()
    assert header.coder == coder_id and header.coder_name == ("deflate" if coder_id == 0 else "arans")
    assert header.scale == 9 and 1 <= header.levels <= 8
    assert header.sample_count == SIGNAL.size
    assert header.min == float(SIGNAL.min()) and header.max == float(SIGNAL.max())
    assert header.stream_len == len(stream) == HEADER_SIZE + header.payload_len
    assert header.reserved == 0 and header.reserved_tail == bytes(16)
    fields = header.as_dict()
    assert fields["magic"] == "QRVN" and fields["version"] == [1, 1] and fields["compression_tag"] == "f3"


def _damaged(offset, raw):
    stream = bytearray(quorvane.compress_signal(SIGNAL))
    stream[offset:offset + len(raw)] = raw
    return bytes(stream)


DAMAGE = {
    "short": quorvane.compress_signal(SIGNAL)[:51],
    "magic": _damaged(0, b"ABCD"),
    "magic_not_utf8": _damaged(0, b"\xff\xfe\xfd\xfc"),
    "magic_and_version": _damaged(0, b"ABCD\x02"),
    "version": _damaged(4, b"\x02"),
    "tag": _damaged(6, b"f4"),
    "method": _damaged(8, b"zzzz"),
    "scale_low": _damaged(13, b"\x05"),
    "scale_high": _damaged(13, b"\x0d"),
    "coder": _damaged(14, b"\x03"),
    "min_inf": _damaged(20, struct.pack("<f", float("inf"))),
    "max_nan": _damaged(24, struct.pack("<f", float("nan"))),
    "mean_inf": _damaged(28, struct.pack("<f", float("-inf"))),
}


@pytest.mark.parametrize("name", sorted(DAMAGE))
def test_damaged_headers_fail_as_the_decoder_does(name):
    stream = DAMAGE[name]
    with pytest.raises(ValueError) as decoder:
        quorvane.decompress_signal(stream)
    with pytest.raises(HeaderError) as ours:
        parse_header(stream)
    assert str(ours.value) == str(decoder.value)


def test_unchecked_fields_pass():
    # Version minor byte, levels and the reserved bytes are not the parser's concern.
    stream = _damaged(5, b"\x07")
    stream = stream[:12] + bytes([200]) + stream[13:15] + b"\x09" + stream[16:]
    header = parse_header(stream)
    assert header.version == b"\x01\x07" and header.levels == 200 and header.reserved == 9


def test_trailing_bytes_are_not_part_of_the_stream():
    stream = quorvane.compress_signal(SIGNAL)
    header = parse_header(stream + b"extra")
    assert header.stream_len == len(stream)
    np.testing.assert_array_equal(quorvane.decompress_signal(stream + b"extra"), quorvane.decompress_signal(stream))
