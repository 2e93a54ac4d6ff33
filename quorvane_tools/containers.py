"""The two compressed file forms, and how they are checked.

- `.qrvz`: a zip (the layout of NumPy's `.npz`) holding one chunk per
  channel, `channel_0000.qrv`, `channel_0001.qrv`, ..., and `meta.json`
  with the source format, dtype, shape, sample rate and what else the way
  back needs. Each chunk is a quorvane stream followed by the trailer of
  docs/trailer-format.md, whose CRC-32 covers the stream; the zip's own
  CRC-32 of every member covers `meta.json` too. Members are stored
  uncompressed: the streams are already entropy-coded, and a reader then
  never inflates anything, so no member can expand beyond the file's size.
- `.qrv`: one bare quorvane stream, exactly the bytes of `compress_signal`
  (plus a trailer only when the signal has NaN or infinities), so
  `quorvane.decompress_signal(path.read_bytes())` reads it. It keeps no
  metadata and, without a trailer, no checksum.

Readers tell the forms apart by their first bytes, not by the suffix, and
treat every file as untrusted: member names, sizes and counts, and every
field of `meta.json`, are checked before anything is allocated for them.
"""
from __future__ import annotations

import json
import re
import zipfile
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from .header import MAGIC, StreamHeader, parse_header
from .signal_files import atomic_output
from .streams import chunk_sample_count
from .trailer import Trailer, read_trailer

STREAM_SUFFIX = ".qrv"
ARCHIVE_SUFFIX = ".qrvz"
META_NAME = "meta.json"
FORMAT_NAME = "quorvane-channels"
# 1: bare channel streams; 2: every channel stream ends in a trailer.
FORMAT_VERSION = 2
READABLE_VERSIONS = (1, 2)

MAX_META_BYTES = 4 << 20
MAX_CHANNELS = 1 << 16
_CHANNEL_NAME = re.compile(r"channel_(\d{4,5})\.qrv")


class ContainerError(ValueError):
    """A compressed file that is neither form, or a damaged one."""


@dataclass
class Compressed:
    streams: List[bytes]
    meta: Dict[str, Any]
    archive: bool
    trailers: List[Trailer]
    version: int = FORMAT_VERSION

    def headers(self) -> List[StreamHeader]:
        return [parse_header(stream) for stream in self.streams]

    @property
    def checksummed(self) -> bool:
        """Whether every stream of the file is covered by a checksum."""
        if self.archive:
            return True  # the zip's CRC-32 of each member, and trailers from version 2 on
        return self.trailers[0].checksummed

    def sample_counts(self) -> List[int]:
        return [chunk_sample_count(header.sample_count, trailer)
                for header, trailer in zip(self.headers(), self.trailers)]


def channel_name(index: int) -> str:
    return f"channel_{index:04d}{STREAM_SUFFIX}"


def part_name(index: int, archive: bool) -> str:
    """How messages name a channel."""
    return f"channel {index} ({channel_name(index)})" if archive else "stream"


def write_compressed(path: Path, streams: Sequence[bytes], meta: Dict[str, Any], *, archive: bool) -> None:
    if not archive:
        if len(streams) != 1:
            raise ContainerError(f"{path}: a {STREAM_SUFFIX} file holds one stream, not {len(streams)}; "
                                 f"use {ARCHIVE_SUFFIX}")
        with atomic_output(path) as temporary:
            temporary.write_bytes(streams[0])
        return
    document = {**meta, "format": FORMAT_NAME, "version": FORMAT_VERSION, "channels": len(streams)}
    with atomic_output(path) as temporary:
        with zipfile.ZipFile(temporary, "w", compression=zipfile.ZIP_STORED) as archive_file:
            archive_file.writestr(_member(META_NAME), json.dumps(document, indent=2, sort_keys=True) + "\n")
            for index, stream in enumerate(streams):
                archive_file.writestr(_member(channel_name(index)), stream)


def _member(name: str) -> zipfile.ZipInfo:
    # A fixed timestamp (the zip epoch) instead of the time of writing: the
    # same signal and options then give the same file, byte for byte.
    info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
    info.compress_type = zipfile.ZIP_STORED
    return info


def read_compressed(path: Path) -> Compressed:
    """Reads and checks a file: structure, metadata, headers, checksums.

    Decoding the payloads is left to the caller; every failure is a
    ContainerError whose text names the file and the damaged part.
    """
    with open(path, "rb") as handle:
        start = handle.read(4)
    if start == MAGIC:
        stream = path.read_bytes()
        try:
            trailer = read_trailer(stream, parse_header(stream))
        except ValueError as error:
            raise ContainerError(f"{path}: damaged stream: {error}") from error
        return Compressed(streams=[stream], meta={}, archive=False, trailers=[trailer])
    if start == b"PK\x03\x04":
        return _read_archive(path)
    if not start:
        raise ContainerError(f"{path}: the file is empty")
    raise ContainerError(f"{path}: neither a quorvane stream nor a {ARCHIVE_SUFFIX} archive")


def _read_archive(path: Path) -> Compressed:
    size = path.stat().st_size
    try:
        with zipfile.ZipFile(path) as archive_file:
            members = _check_members(path, archive_file.infolist(), size)
            meta = _read_meta(path, archive_file, members)
            count = meta["channels"]
            streams = []
            for index in range(count):
                if channel_name(index) not in members:
                    raise ContainerError(f"{path}: {channel_name(index)} is missing")
                streams.append(_read_member(path, archive_file, channel_name(index),
                                            f"channel {index} ({channel_name(index)})"))
            extra = sorted(set(members) - {META_NAME} - {channel_name(i) for i in range(count)})
            if extra:
                raise ContainerError(f"{path}: {META_NAME} names {count} channel(s), but the archive "
                                     f"also holds {extra[0]}")
    except zipfile.BadZipFile as error:
        reason = "its zip directory is missing" if "not a zip file" in str(error) else str(error)
        raise ContainerError(f"{path}: damaged or truncated archive ({reason})") from error
    version = meta["version"]
    trailers = []
    for index, stream in enumerate(streams):
        try:
            header = parse_header(stream)
            trailer = read_trailer(stream, header)
            if version >= 2 and not trailer.checksummed:
                raise ContainerError("its trailer is missing")
        except ValueError as error:
            raise ContainerError(f"{path}: channel {index} ({channel_name(index)}) is damaged: {error}") from error
        trailers.append(trailer)
    compressed = Compressed(streams=streams, meta=meta, archive=True, trailers=trailers, version=version)
    _check_lengths(path, compressed)
    return compressed


def _check_members(path: Path, infos: List[zipfile.ZipInfo], size: int) -> Dict[str, zipfile.ZipInfo]:
    if len(infos) > MAX_CHANNELS + 1:
        raise ContainerError(f"{path}: the archive lists {len(infos)} members, more than a "
                             f"{ARCHIVE_SUFFIX} file can hold")
    members: Dict[str, zipfile.ZipInfo] = {}
    for info in infos:
        name = info.filename
        if name != META_NAME and not _CHANNEL_NAME.fullmatch(name):
            raise ContainerError(f"{path}: unexpected member {name!r} (a {ARCHIVE_SUFFIX} file holds "
                                 f"{META_NAME} and channel_NNNN{STREAM_SUFFIX} only)")
        if name in members:
            raise ContainerError(f"{path}: member {name} appears twice")
        if info.flag_bits & 0x1:
            raise ContainerError(f"{path}: member {name} is encrypted")
        if info.compress_type != zipfile.ZIP_STORED:
            raise ContainerError(f"{path}: member {name} is compressed (method {info.compress_type}); "
                                 f"{ARCHIVE_SUFFIX} members are stored as they are")
        if info.file_size != info.compress_size or info.file_size > size:
            raise ContainerError(f"{path}: member {name} claims {info.file_size} bytes in a file of {size} "
                                 f"(damaged or truncated)")
        members[name] = info
    if META_NAME not in members:
        raise ContainerError(f"{path}: the archive has no {META_NAME}")
    return members


def _read_member(path: Path, archive_file: zipfile.ZipFile, name: str, part: str) -> bytes:
    try:
        return archive_file.read(name)
    except zipfile.BadZipFile as error:
        reason = "checksum mismatch" if "CRC" in str(error) else str(error)
        raise ContainerError(f"{path}: {part} is damaged ({reason})") from error
    except (EOFError, zlib.error) as error:
        raise ContainerError(f"{path}: {part} is damaged or truncated ({error})") from error


def _read_meta(path: Path, archive_file: zipfile.ZipFile, members: Dict[str, zipfile.ZipInfo]) -> Dict[str, Any]:
    if members[META_NAME].file_size > MAX_META_BYTES:
        raise ContainerError(f"{path}: {META_NAME} is {members[META_NAME].file_size} bytes, more than the "
                             f"{MAX_META_BYTES} a reader accepts")
    raw = _read_member(path, archive_file, META_NAME, META_NAME)
    try:
        meta = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
        raise ContainerError(f"{path}: {META_NAME} is not valid JSON ({type(error).__name__})") from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT_NAME:
        raise ContainerError(f"{path}: {META_NAME} does not describe quorvane channels")
    if meta.get("version") not in READABLE_VERSIONS:
        raise ContainerError(f"{path}: archive version {meta.get('version')!r} is not supported")
    problem = meta_problem(meta, len(members) - 1)
    if problem:
        raise ContainerError(f"{path}: {META_NAME}: {problem}")
    return meta


def _is_count(value: Any, low: int = 1, high: int = (1 << 31) - 1) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and low <= value <= high


def meta_problem(meta: Dict[str, Any], members: int) -> Optional[str]:
    """What is wrong with the fields a reader relies on, or None."""
    count = meta.get("channels")
    if not isinstance(count, int) or not _is_count(count, 1, MAX_CHANNELS):
        return f"'channels' must be a count of 1..{MAX_CHANNELS}, not {_short(count)}"
    if count > members:
        return f"names {count} channels, the archive holds {members} stream(s)"
    dtype = meta.get("dtype", "float32")
    try:
        valid_dtype = isinstance(dtype, str) and len(dtype) <= 16 and np.dtype(dtype).kind in "biuf"
    except TypeError:
        valid_dtype = False
    if not valid_dtype:
        return f"'dtype' {dtype!r} is not a real number type"
    shape = meta.get("shape")
    if shape is not None:
        if not isinstance(shape, list) or not 1 <= len(shape) <= 32 or not all(_is_count(n) for n in shape):
            return f"'shape' must be a list of 1 to 32 positive sizes, not {_short(shape)}"
        per_channel = int(np.prod(shape[1:], dtype=np.float64))
        if per_channel != count:
            return f"'shape' {shape} does not hold {count} channel(s)"
    for key in ("sample_rate", "sample_width"):
        value = meta.get(key)
        if value is not None and not (_is_count(value) or (isinstance(value, float) and value > 0
                                                           and np.isfinite(value))):
            return f"{key!r} must be a positive number, not {_short(value)}"
    columns = meta.get("columns")
    if columns is not None and (not isinstance(columns, list) or len(columns) != count
                                or not all(isinstance(name, str) for name in columns)):
        return f"'columns' must be {count} name(s), not {_short(columns)}"
    for key in ("source", "suffix", "delimiter"):
        value = meta.get(key)
        if value is not None and (not isinstance(value, str) or len(value) > 64):
            return f"{key!r} must be a short text, not {_short(value)}"
    return None


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _check_lengths(path: Path, compressed: Compressed) -> None:
    counts = compressed.sample_counts()
    shape = compressed.meta.get("shape")
    expected = shape[0] if shape else counts[0]
    for index, count in enumerate(counts):
        if count != expected:
            raise ContainerError(f"{path}: channel {index} ({channel_name(index)}) holds {count} samples, "
                                 f"{META_NAME} says {expected}")
