"""The trailer: what a quorvane stream alone cannot say about a chunk.

A stream keeps float32 precision of finite samples only: `compress_signal`
turns NaN into 0.0 and infinities into 1.0 / 0.0, and always decodes to
float32. The trailer sits right after the stream's 52 + `payload_len`
bytes, where `decompress_signal` stops reading, and records the source
dtype, the positions and kinds of non-finite samples as run lists, and a
CRC-32 over the stream and itself. docs/trailer-format.md is the byte-exact
description; this module is the reference reader and writer.

Layout: records, then a 16-byte footer at the very end of the chunk:
version, dtype code, two reserved bytes, trailer length, CRC-32, "QVTR".
Chunks written before the trailer existed end either right after the
stream (float32) or with the four bytes "QVf8" (float64); both still read.
"""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from .header import StreamHeader, parse_header

TRAILER_MAGIC = b"QVTR"
TRAILER_VERSION = 1
LEGACY_FLOAT64_TRAILER = b"QVf8"

FOOTER = struct.Struct("<BBHII4s")
FOOTER_SIZE = FOOTER.size
assert FOOTER_SIZE == 16

DTYPE_CODES = {"float32": 1, "float64": 2}
DTYPE_NAMES = {code: name for name, code in DTYPE_CODES.items()}

RECORD_NON_FINITE = 0x01
RECORD_SAMPLE_COUNT = 0x02
RECORD_NON_FINITE_DEFLATED = 0x03
KNOWN_RECORDS = (RECORD_NON_FINITE, RECORD_SAMPLE_COUNT, RECORD_NON_FINITE_DEFLATED)
# Tags from 0x80 up may be skipped by a reader that does not know them;
# an unknown tag below 0x80 changes how the chunk decodes and is refused.
FIRST_SKIPPABLE_TAG = 0x80

KIND_NAN, KIND_POS_INF, KIND_NEG_INF = 0, 1, 2
KIND_VALUES = (np.nan, np.inf, -np.inf)
KIND_NAMES = ("NaN", "+inf", "-inf")

MAX_VARINT_BYTES = 5
MAX_SAMPLES = (1 << 31) - 1


class TrailerError(ValueError):
    """A trailer that is damaged, truncated or impossible."""


@dataclass(frozen=True)
class NonFiniteRuns:
    """Runs of non-finite samples: parallel arrays, in ascending position.

    `starts[i]` is the index of the run's first sample, `lengths[i]` its
    sample count and `kinds[i]` one of KIND_NAN, KIND_POS_INF, KIND_NEG_INF.
    """

    starts: npt.NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))
    lengths: npt.NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))
    kinds: npt.NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))

    def __len__(self) -> int:
        return int(self.starts.size)

    @property
    def sample_count(self) -> int:
        return int(self.lengths.sum())

    def counts(self) -> Dict[str, int]:
        """Non-finite samples by kind name."""
        return {name: int(self.lengths[self.kinds == kind].sum()) for kind, name in enumerate(KIND_NAMES)}

    def as_list(self) -> List[Tuple[int, int, int]]:
        return [(int(s), int(n), int(k)) for s, n, k in zip(self.starts, self.lengths, self.kinds)]


@dataclass(frozen=True)
class Trailer:
    """What a chunk records beside its stream.

    `form` is "trailer" (this format, checksum verified), "legacy-float64"
    (the old four-byte marker) or "none" (a bare stream). `sample_count` is
    set when every sample is non-finite and the stream in front is only a
    placeholder: the chunk then holds that many samples, all in `runs`.
    """

    dtype: str = "float32"
    runs: NonFiniteRuns = field(default_factory=NonFiniteRuns)
    form: str = "none"
    sample_count: Optional[int] = None

    @property
    def checksummed(self) -> bool:
        return self.form == "trailer"


# ---------------------------------------------------------------- runs


def find_non_finite(samples: npt.NDArray[Any]) -> NonFiniteRuns:
    """The runs of NaN, +inf and -inf in a 1-D float array."""
    finite = np.isfinite(samples)
    if finite.all():
        return NonFiniteRuns()
    kinds = np.full(samples.size, -1, np.int8)
    kinds[np.isnan(samples)] = KIND_NAN
    kinds[np.isposinf(samples)] = KIND_POS_INF
    kinds[np.isneginf(samples)] = KIND_NEG_INF
    edges = np.flatnonzero(np.diff(kinds)) + 1
    bounds = np.concatenate(([0], edges, [samples.size])).astype(np.int64)
    starts, ends = bounds[:-1], bounds[1:]
    run_kinds = kinds[starts].astype(np.int64)
    keep = run_kinds >= 0
    return NonFiniteRuns(starts[keep], (ends - starts)[keep], run_kinds[keep])


def run_positions(runs: NonFiniteRuns) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Every sample index the runs cover, and the kind of each."""
    if not len(runs):
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    offsets = np.cumsum(runs.lengths) - runs.lengths
    positions = np.arange(int(runs.lengths.sum()), dtype=np.int64) + np.repeat(runs.starts - offsets, runs.lengths)
    return positions, np.repeat(runs.kinds, runs.lengths)


def apply_runs(samples: npt.NDArray[Any], runs: NonFiniteRuns) -> None:
    """Writes the recorded non-finite values into decoded samples, in place.

    Long runs are written as slices and short ones in batches, so the
    index arrays stay small whatever the runs cover (a placeholder chunk of
    2^31 NaN needs no index at all).
    """
    values = np.asarray(KIND_VALUES, dtype=samples.dtype)
    long = runs.lengths > LONG_RUN
    for start, length, kind in zip(runs.starts[long], runs.lengths[long], runs.kinds[long]):
        samples[start:start + length] = values[kind]
    short = NonFiniteRuns(runs.starts[~long], runs.lengths[~long], runs.kinds[~long])
    for first in range(0, len(short), RUN_BATCH):
        batch = slice(first, first + RUN_BATCH)
        positions, kinds = run_positions(NonFiniteRuns(short.starts[batch], short.lengths[batch],
                                                       short.kinds[batch]))
        samples[positions] = values[kinds]


LONG_RUN = 64
RUN_BATCH = 16384


# ---------------------------------------------------------------- varints


def _encode_varints(values: npt.NDArray[np.int64]) -> bytes:
    """Unsigned LEB128, seven bits a byte, low group first."""
    unsigned = values.astype(np.uint64)
    groups = np.stack([(unsigned >> np.uint64(7 * i)) & np.uint64(0x7F) for i in range(MAX_VARINT_BYTES)], axis=1)
    bits = np.zeros(unsigned.size, np.int64)
    remaining = unsigned.copy()
    while remaining.any():
        bits += remaining > 0
        remaining >>= np.uint64(7)
    used = np.maximum(bits, 1)
    index = np.arange(MAX_VARINT_BYTES)
    more = index[None, :] < (used[:, None] - 1)
    encoded = (groups | (more.astype(np.uint64) << np.uint64(7))).astype(np.uint8)
    return bytes(encoded[index[None, :] < used[:, None]].tobytes())


def _decode_varints(body: bytes, what: str) -> npt.NDArray[np.int64]:
    """Every varint of `body`, which must hold whole varints only."""
    raw = np.frombuffer(body, np.uint8)
    if raw.size == 0:
        return np.zeros(0, np.int64)
    ends = np.flatnonzero(raw < 0x80)
    if ends.size == 0 or ends[-1] != raw.size - 1:
        raise TrailerError(f"trailer {what} ends inside a number")
    starts = np.concatenate(([0], ends[:-1] + 1))
    if np.any(ends - starts >= MAX_VARINT_BYTES):
        raise TrailerError(f"trailer {what} holds a number longer than {MAX_VARINT_BYTES} bytes")
    owner = np.repeat(np.arange(starts.size), ends - starts + 1)
    shifts = (7 * (np.arange(raw.size) - starts[owner])).astype(np.uint64)
    groups = (raw & 0x7F).astype(np.uint64) << shifts
    return np.add.reduceat(groups, starts).astype(np.int64)


# ---------------------------------------------------------------- writing


def _runs_record(runs: NonFiniteRuns) -> bytes:
    previous_ends = np.concatenate(([0], runs.starts[:-1] + runs.lengths[:-1]))
    gaps = runs.starts - previous_ends
    numbers = np.empty(1 + 2 * len(runs), np.int64)
    numbers[0] = len(runs)
    numbers[1::2] = gaps
    numbers[2::2] = (runs.lengths << 2) | runs.kinds
    body = _encode_varints(numbers)
    # Scattered NaN make many short runs; DEFLATE takes their varints close
    # to the entropy of the positions (about half the size at 10 % NaN).
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = packer.compress(body) + packer.flush()
    if len(packed) < len(body):
        return _record(RECORD_NON_FINITE_DEFLATED, packed)
    return _record(RECORD_NON_FINITE, body)


def _record(tag: int, body: bytes) -> bytes:
    return bytes([tag]) + _encode_varints(np.array([len(body)], np.int64)) + body


def build_trailer(stream: bytes, dtype: str, runs: Optional[NonFiniteRuns] = None,
                  sample_count: Optional[int] = None) -> bytes:
    """The trailer bytes to append to `stream` (exactly one whole stream).

    `sample_count` marks `stream` as a placeholder for a chunk of that many
    samples, every one of them covered by `runs`.
    """
    header = parse_header(stream)
    if len(stream) != header.stream_len:
        raise ValueError(f"expected one stream of {header.stream_len} bytes, got {len(stream)}")
    if dtype not in DTYPE_CODES:
        raise ValueError(f"the trailer records float32 or float64, not {dtype}")
    runs = runs if runs is not None else NonFiniteRuns()
    count = header.sample_count if sample_count is None else sample_count
    if len(runs) and int(runs.starts[-1] + runs.lengths[-1]) > count:
        raise ValueError("non-finite runs reach beyond the chunk's samples")
    records = b""
    if sample_count is not None:
        if not 1 <= sample_count <= MAX_SAMPLES or runs.sample_count != sample_count:
            raise ValueError("a placeholder stream needs runs covering all of 1..2^31-1 samples")
        records += _record(RECORD_SAMPLE_COUNT, _encode_varints(np.array([sample_count], np.int64)))
    if len(runs):
        records += _runs_record(runs)
    length = len(records) + FOOTER_SIZE
    head = records + struct.pack("<BBHI", TRAILER_VERSION, DTYPE_CODES[dtype], 0, length)
    checksum = zlib.crc32(head, zlib.crc32(stream))
    return head + struct.pack("<I4s", checksum, TRAILER_MAGIC)


# ---------------------------------------------------------------- reading


def read_trailer(chunk: bytes, header: Optional[StreamHeader] = None) -> Trailer:
    """Checks and reads what follows the stream in `chunk`.

    Raises HeaderError for a bad stream header, TrailerError for a chunk
    that is truncated or whose trailer is damaged or impossible.
    """
    header = header if header is not None else parse_header(chunk)
    stream_len = header.stream_len
    if len(chunk) < stream_len:
        raise TrailerError(f"truncated: the stream needs {stream_len} bytes, only {len(chunk)} are there")
    rest = len(chunk) - stream_len
    if rest == 0:
        return Trailer()
    if rest == len(LEGACY_FLOAT64_TRAILER) and chunk[stream_len:] == LEGACY_FLOAT64_TRAILER:
        return Trailer(dtype="float64", form="legacy-float64")
    if rest < FOOTER_SIZE or chunk[-4:] != TRAILER_MAGIC:
        raise TrailerError(f"the {rest} bytes after the stream are not a quorvane trailer (damaged or truncated)")
    version, dtype_code, reserved, length, checksum, _ = FOOTER.unpack_from(chunk, len(chunk) - FOOTER_SIZE)
    if length != rest:
        raise TrailerError(f"trailer length {length} does not match the {rest} bytes after the stream "
                           f"(damaged or truncated)")
    if zlib.crc32(memoryview(chunk)[:len(chunk) - 8]) != checksum:
        raise TrailerError("checksum mismatch: the stream or its trailer is damaged")
    if version != TRAILER_VERSION:
        raise TrailerError(f"trailer version {version} is not supported (this reader knows {TRAILER_VERSION})")
    if dtype_code not in DTYPE_NAMES:
        raise TrailerError(f"trailer names unknown dtype code {dtype_code}")
    if reserved != 0:
        raise TrailerError(f"trailer reserved field is {reserved}, not 0")
    bodies: Dict[int, bytes] = {}
    records = bytes(memoryview(chunk)[stream_len:len(chunk) - FOOTER_SIZE])
    position = 0
    while position < len(records):
        tag = records[position]
        size, position = _read_length(records, position + 1)
        if size > len(records) - position:
            raise TrailerError(f"trailer record {tag:#04x} claims {size} bytes, {len(records) - position} remain")
        body = records[position:position + size]
        position += size
        if tag in bodies:
            raise TrailerError(f"trailer record {tag:#04x} appears twice")
        if tag not in KNOWN_RECORDS and tag < FIRST_SKIPPABLE_TAG:
            raise TrailerError(f"trailer record {tag:#04x} is not known to this reader")
        bodies[tag] = body
    placeholder: Optional[int] = None
    if RECORD_SAMPLE_COUNT in bodies:
        numbers = _decode_varints(bodies[RECORD_SAMPLE_COUNT], "sample count")
        if numbers.size != 1 or not 1 <= int(numbers[0]) <= MAX_SAMPLES:
            raise TrailerError("trailer sample count record is not one count of 1..2^31-1")
        placeholder = int(numbers[0])
    count = header.sample_count if placeholder is None else placeholder
    if RECORD_NON_FINITE in bodies and RECORD_NON_FINITE_DEFLATED in bodies:
        raise TrailerError("trailer holds the non-finite runs twice (plain and deflated)")
    runs = NonFiniteRuns()
    if RECORD_NON_FINITE in bodies:
        runs = _parse_runs(bodies[RECORD_NON_FINITE], count)
    elif RECORD_NON_FINITE_DEFLATED in bodies:
        runs = _parse_runs(_inflate_runs(bodies[RECORD_NON_FINITE_DEFLATED], count), count)
    if placeholder is not None and runs.sample_count != placeholder:
        raise TrailerError(f"trailer gives {placeholder} samples but its runs cover {runs.sample_count}")
    return Trailer(dtype=DTYPE_NAMES[dtype_code], runs=runs, form="trailer", sample_count=placeholder)


def _read_length(records: bytes, position: int) -> Tuple[int, int]:
    value = 0
    for index in range(MAX_VARINT_BYTES):
        if position + index >= len(records):
            raise TrailerError("trailer record ends inside its length")
        byte = records[position + index]
        value |= (byte & 0x7F) << (7 * index)
        if byte < 0x80:
            return value, position + index + 1
    raise TrailerError(f"trailer record length is longer than {MAX_VARINT_BYTES} bytes")


def _inflate_runs(packed: bytes, sample_count: int) -> bytes:
    # A runs body of n samples holds at most n runs of two 5-byte varints
    # and a 5-byte count; more output than that is refused while inflating.
    limit = MAX_VARINT_BYTES * (1 + 2 * sample_count)
    inflater = zlib.decompressobj(-15)
    try:
        body = inflater.decompress(packed, limit + 1)
    except zlib.error as error:
        raise TrailerError(f"trailer deflated non-finite runs are damaged ({error})") from None
    if len(body) > limit:
        raise TrailerError(f"trailer deflated non-finite runs inflate beyond {limit} bytes")
    if not inflater.eof or inflater.unused_data or inflater.unconsumed_tail:
        raise TrailerError("trailer deflated non-finite runs do not end where their record does")
    return body


def _parse_runs(body: bytes, sample_count: int) -> NonFiniteRuns:
    numbers = _decode_varints(body, "non-finite runs")
    if numbers.size == 0:
        raise TrailerError("trailer non-finite runs record is empty")
    count = int(numbers[0])
    if count > sample_count or numbers.size != 1 + 2 * count:
        raise TrailerError(f"trailer claims {count} non-finite runs in {sample_count} samples "
                           f"and holds {(numbers.size - 1) // 2}")
    gaps = numbers[1::2]
    codes = numbers[2::2]
    lengths = codes >> 2
    kinds = codes & 3
    if np.any(kinds > KIND_NEG_INF):
        raise TrailerError("trailer names an unknown kind of non-finite value")
    if np.any(lengths < 1) or np.any(lengths > sample_count) or np.any(gaps > sample_count):
        raise TrailerError(f"trailer holds a run outside the {sample_count} samples")
    ends = np.cumsum(gaps + lengths)
    if count and int(ends[-1]) > sample_count:
        raise TrailerError(f"trailer holds a run outside the {sample_count} samples")
    return NonFiniteRuns(ends - lengths, lengths, kinds)
