"""The two compressed file forms.

- `.qrv`: one bare quorvane stream, exactly the bytes of `compress_signal`,
  so `quorvane.decompress_signal(path.read_bytes())` reads it.
- `.qrvz`: a zip (the layout of NumPy's `.npz`) holding one stream per
  channel, `channel_0000.qrv`, `channel_0001.qrv`, ..., and `meta.json`
  with the source format, dtype, shape, sample rate and what else the way
  back needs. Members are stored uncompressed: the streams are already
  entropy-coded.

Readers tell the forms apart by their first bytes, not by the suffix.
"""
from __future__ import annotations

import json
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Sequence

from .header import MAGIC, StreamHeader, parse_header
from .signal_files import atomic_output

STREAM_SUFFIX = ".qrv"
ARCHIVE_SUFFIX = ".qrvz"
META_NAME = "meta.json"
FORMAT_NAME = "quorvane-channels"
FORMAT_VERSION = 1


class ContainerError(ValueError):
    """A compressed file that is neither form, or a damaged one."""


@dataclass
class Compressed:
    streams: List[bytes]
    meta: Dict[str, Any]
    archive: bool

    def headers(self) -> List[StreamHeader]:
        return [parse_header(stream) for stream in self.streams]


def channel_name(index: int) -> str:
    return f"channel_{index:04d}{STREAM_SUFFIX}"


def write_compressed(path: Path, streams: Sequence[bytes], meta: Dict[str, Any], *, archive: bool) -> None:
    if not archive:
        if len(streams) != 1:
            raise ContainerError(f"{path}: a {STREAM_SUFFIX} file holds one stream, not {len(streams)}; "
                                 f"use {ARCHIVE_SUFFIX}")
        with atomic_output(path) as temporary:
            temporary.write_bytes(streams[0])
        return
    document = {"format": FORMAT_NAME, "version": FORMAT_VERSION, **meta, "channels": len(streams)}
    with atomic_output(path) as temporary:
        with zipfile.ZipFile(temporary, "w", compression=zipfile.ZIP_STORED) as archive_file:
            archive_file.writestr(META_NAME, json.dumps(document, indent=2, sort_keys=True) + "\n")
            for index, stream in enumerate(streams):
                archive_file.writestr(channel_name(index), stream)


def read_compressed(path: Path) -> Compressed:
    with open(path, "rb") as handle:
        start = handle.read(4)
    if start == MAGIC:
        stream = path.read_bytes()
        parse_header(stream)
        return Compressed(streams=[stream], meta={}, archive=False)
    if start == b"PK\x03\x04":
        return _read_archive(path)
    raise ContainerError(f"{path}: neither a quorvane stream nor a {ARCHIVE_SUFFIX} archive")


def _read_archive(path: Path) -> Compressed:
    try:
        with zipfile.ZipFile(path) as archive_file:
            try:
                meta = json.loads(archive_file.read(META_NAME).decode("utf-8"))
            except KeyError:
                raise ContainerError(f"{path}: the archive has no {META_NAME}") from None
            if not isinstance(meta, dict) or meta.get("format") != FORMAT_NAME:
                raise ContainerError(f"{path}: {META_NAME} does not describe quorvane channels")
            if meta.get("version") != FORMAT_VERSION:
                raise ContainerError(f"{path}: archive version {meta.get('version')!r} is not supported")
            count = meta.get("channels")
            if not isinstance(count, int) or count < 1:
                raise ContainerError(f"{path}: {META_NAME} gives no channel count")
            streams = []
            for index in range(count):
                try:
                    streams.append(archive_file.read(channel_name(index)))
                except KeyError:
                    raise ContainerError(f"{path}: {channel_name(index)} is missing") from None
    except (zipfile.BadZipFile, json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ContainerError(f"{path}: damaged archive ({error})") from error
    for index, stream in enumerate(streams):
        try:
            parse_header(stream)
        except ValueError as error:
            raise ContainerError(f"{path}: {channel_name(index)}: {error}") from error
    return Compressed(streams=streams, meta=meta, archive=True)
