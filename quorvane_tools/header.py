"""Reading the 52-byte header in front of every quorvane stream.

The extension module decodes streams but exposes no header fields; `info`
and the codecs need them (sample count, wavelet, scale) without decoding the
payload. The checks and their messages are those of the decoder's own
parser, in its order, so a stream this module accepts is one whose header
`decompress_signal` accepts too.
"""
from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

HEADER_SIZE = 52
MAGIC = b"QRVN"
COMPRESSION_TAG = b"f3"

_LAYOUT = struct.Struct("<4s2s2s4sBBBBIfffI16s")
assert _LAYOUT.size == HEADER_SIZE

METHOD_NAMES = {b"cf53": "cdf53", b"cf97": "cdf97", b"db04": "db4", b"sym4": "sym4"}
METHOD_CODES = {name: code for code, name in METHOD_NAMES.items()}
CODER_NAMES = {0: "deflate", 1: "arans", 2: "bands"}
# The target encoder stores a step through max - min, so those are no longer
# the signal's extremes; it records the true ones in the reserved tail:
# this tag, then min and max as little-endian float32, then 4 zero bytes.
# Decoders never read the tail.
PROVENANCE_TAG = b"QTE1"
_PROVENANCE = struct.Struct("<4sff4x")


class HeaderError(ValueError):
    """A stream whose header the decoder would refuse."""


def _shown(raw: bytes) -> str:
    # Codes are shown as text; bytes that are not UTF-8 become one '?' each,
    # as the decoder's messages show them.
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return "?" * len(raw)


@dataclass(frozen=True)
class StreamHeader:
    magic: bytes
    version: bytes
    compression_tag: bytes
    method_code: bytes
    levels: int
    scale: int
    coder: int
    reserved: int
    sample_count: int
    min: float
    max: float
    mean: float
    payload_len: int
    reserved_tail: bytes

    @property
    def method(self) -> str:
        return METHOD_NAMES[self.method_code]

    @property
    def coder_name(self) -> str:
        return CODER_NAMES[self.coder]

    @property
    def stream_len(self) -> int:
        """Bytes the stream occupies; anything after them is not part of it."""
        return HEADER_SIZE + self.payload_len

    @property
    def step(self) -> float:
        """Quantiser step as a fraction of the signal's range."""
        return 2.0 ** -self.scale

    @property
    def true_extremes(self) -> Optional[Tuple[float, float]]:
        """The signal's own (min, max) when the stream records them apart
        from the denormalisation constants `min` and `max`, else None."""
        tag, low, high = _PROVENANCE.unpack(self.reserved_tail)
        return (low, high) if tag == PROVENANCE_TAG else None

    def as_dict(self) -> Dict[str, Any]:
        extremes = self.true_extremes
        return {
            "magic": _shown(self.magic),
            "version": list(self.version),
            "compression_tag": _shown(self.compression_tag),
            "method_code": _shown(self.method_code),
            "method": self.method,
            "levels": self.levels,
            "scale": self.scale,
            "coder": self.coder,
            "coder_name": self.coder_name,
            "reserved": self.reserved,
            "sample_count": self.sample_count,
            "min": self.min,
            "max": self.max,
            "mean": self.mean,
            "payload_len": self.payload_len,
            "reserved_tail": self.reserved_tail.hex(),
            **({"true_min": extremes[0], "true_max": extremes[1]} if extremes else {}),
        }


def parse_header(stream: bytes) -> StreamHeader:
    """Parses and checks the header; raises HeaderError with the decoder's text."""
    if len(stream) < HEADER_SIZE:
        raise HeaderError("Header is invalid")
    fields = _LAYOUT.unpack_from(stream, 0)
    header = StreamHeader(*fields)
    if header.magic != MAGIC:
        raise HeaderError(f"Magic should be 'QRVN' but it was '{_shown(header.magic)}'")
    if header.version[0] != 1:
        raise HeaderError(f"Invalid header version '{_shown(header.version)}'")
    if header.compression_tag != COMPRESSION_TAG:
        raise HeaderError(f"Invalid compression method '{_shown(header.compression_tag)}'")
    if header.method_code not in METHOD_NAMES:
        raise HeaderError(f"Invalid compression method '{_shown(header.method_code)}'")
    if not 6 <= header.scale <= 12:
        raise HeaderError(f"Only scaled 6..12 is supported, but it was {header.scale}")
    if header.coder >= 3:
        raise HeaderError(f"Unknown entropy coder {header.coder}")
    if not all(math.isfinite(value) for value in (header.min, header.max, header.mean)):
        raise HeaderError("Header is invalid")
    return header
