"""Compressed signal files from Python: `save` and `load`.

    import quorvane_tools
    quorvane_tools.save("take.qrvz", samples, sample_rate=48000, scale=10)
    samples, meta = quorvane_tools.load("take.qrvz")

These are the command line's own code paths (`quorvane compress` reads a
sample file and calls `save_signal`; `quorvane decompress` calls
`load_signal` and writes a sample file), so a file written by either is
read by the other. What goes in comes back: dtype (integers rounded and
clipped back into their type), shape, column names, sample rate, NaN and
infinities exactly where they were; finite values with the codec's error.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

import quorvane

from .containers import ARCHIVE_SUFFIX, STREAM_SUFFIX, Compressed, ContainerError, read_compressed, write_compressed
from .header import parse_header
from .options import make_choice
from .parallel import ordered_map
from .progress import progress
from .quality import choose_options
from .samples import codec_input
from .signal_files import SignalData, cast_samples
from .streams import SampleRangeError, decode_signal, finish_chunk, prepare_signal

PathLike = Union[str, Path]
# Compresses one channel's prepared float32 samples; returns the stream and
# a line describing the options chosen (or None when they were fixed).
ChannelCompressor = Callable[[npt.NDArray[np.float32], int], Tuple[bytes, Optional[str]]]


@dataclass
class SavedFile:
    """What `save` wrote."""

    path: Path
    archive: bool
    channels: int
    sample_count: int
    stream_bytes: int
    file_bytes: int
    checksummed: bool
    reports: List[str] = field(default_factory=list)


def fixed_options(method: Optional[str] = None, scale: Optional[int] = None, cutoff: Optional[str] = None,
                  coder: Optional[str] = None) -> ChannelCompressor:
    choice = make_choice(method=method, scale=scale, cutoff=cutoff, coder=coder)

    def compress(samples: npt.NDArray[np.float32], index: int) -> Tuple[bytes, Optional[str]]:
        return choice.compress(samples), None

    return compress


def quality_target(max_abs_error: Optional[float] = None, min_psnr: Optional[float] = None, *,
                   show_progress: Optional[bool] = False, **restrictions: Any) -> ChannelCompressor:
    """The smallest stream per channel that meets the target (see `choose_options`)."""

    def compress(samples: npt.NDArray[np.float32], index: int) -> Tuple[bytes, Optional[str]]:
        # A search over a short signal takes too little time for a bar; from
        # about 2^15 samples the 168 candidates take a second or more.
        bar = show_progress if samples.size >= 1 << 15 else False
        chosen = choose_options(samples, max_abs_error=max_abs_error, min_psnr=min_psnr,
                                show_progress=bar, **restrictions)
        return chosen.stream, chosen.describe()

    return compress


def encode_channels(signal: SignalData, compress: ChannelCompressor, *, archive: bool = True,
                    show_progress: Optional[bool] = False, description: str = "",
                    jobs: int = 1) -> Tuple[List[bytes], List[str]]:
    """One chunk per channel: non-finite samples filled and recorded, a
    trailer on every chunk of an archive (for its checksum). `jobs`
    channels are encoded at a time; the result is the same for any count."""
    channels = signal.channels

    def encode(index: int) -> Tuple[bytes, Optional[str]]:
        try:
            prepared = prepare_signal(codec_input(channels[index]))
        except SampleRangeError as error:
            raise SampleRangeError(f"channel {index}: {error}" if len(channels) > 1 else str(error)) from None
        if prepared.samples is None:
            stream = quorvane.compress_signal(prepared.codec_samples())
            report = None
        else:
            stream, report = compress(prepared.samples, index)
        # A bare stream keeps no metadata, the dtype included; it gets a
        # trailer only to keep NaN and infinities.
        return finish_chunk(stream, prepared, always_trailer=archive, keep_dtype=archive), report

    chunks: List[bytes] = []
    reports: List[str] = []
    results = ordered_map(encode, range(len(channels)), jobs)
    for index, (chunk, report) in enumerate(progress(results, total=len(channels), description=description,
                                                     enabled=show_progress, unit="channel")):
        chunks.append(chunk)
        if report is not None:
            reports.append(f"channel {index}: {report}" if len(channels) > 1 else report)
    return chunks, reports


def save_signal(path: PathLike, signal: SignalData, compress: Optional[ChannelCompressor] = None, *,
                archive: bool = True, show_progress: Optional[bool] = False, jobs: int = 1,
                before_writing: Optional[Callable[[], None]] = None) -> SavedFile:
    """Compresses every channel of `signal` into `path` (written atomically).

    `before_writing` is called between compressing and writing (the command
    line's progress bar names the step)."""
    target = Path(path)
    if not archive and len(signal.channels) != 1:
        raise ContainerError(f"{target}: {len(signal.channels)} channels need a {ARCHIVE_SUFFIX} archive, "
                             f"not {STREAM_SUFFIX}")
    chunks, reports = encode_channels(signal, compress or fixed_options(), archive=archive,
                                      show_progress=show_progress, description=target.name, jobs=jobs)
    if before_writing is not None:
        before_writing()
    write_compressed(target, chunks, signal.metadata(), archive=archive)
    return SavedFile(path=target, archive=archive, channels=len(chunks), sample_count=signal.sample_count,
                     stream_bytes=sum(len(chunk) for chunk in chunks), file_bytes=target.stat().st_size,
                     checksummed=archive or len(chunks[0]) > parse_header(chunks[0]).stream_len, reports=reports)


def save(path: PathLike, data: Union[npt.ArrayLike, Sequence[npt.ArrayLike]], *,
         sample_rate: Optional[float] = None, columns: Optional[Sequence[str]] = None,
         method: Optional[str] = None, scale: Optional[int] = None, cutoff: Optional[str] = None,
         coder: Optional[str] = None, max_abs_error: Optional[float] = None, min_psnr: Optional[float] = None,
         container: Optional[str] = None) -> SavedFile:
    """Compresses an array, or a list of equally long channels, into a file.

    An array of shape (samples,) is one channel; (samples, channels, ...)
    holds one channel per column. The file keeps dtype, shape, `columns`
    and `sample_rate`, and checksums, unless `container="qrv"` (or a path
    ending in .qrv) asks for a bare stream of a single channel. Options are
    those of `QuorvCompressionOptions`, or a quality target
    (`max_abs_error`, `min_psnr`) for the smallest stream that meets it.
    """
    target = Path(path)
    signal = signal_from_arrays(data, sample_rate=sample_rate, columns=columns)
    if container is None:
        container = "qrv" if target.suffix.lower() == STREAM_SUFFIX else "qrvz"
    if container not in ("qrv", "qrvz"):
        raise ValueError(f"container must be 'qrv' or 'qrvz', not {container!r}")
    if max_abs_error is not None or min_psnr is not None:
        compress = quality_target(max_abs_error, min_psnr)
    else:
        compress = fixed_options(method, scale, cutoff, coder)
    return save_signal(target, signal, compress, archive=container == "qrvz")


def signal_from_arrays(data: Union[npt.ArrayLike, Sequence[npt.ArrayLike]], *, sample_rate: Optional[float] = None,
                       columns: Optional[Sequence[str]] = None) -> SignalData:
    if isinstance(data, (list, tuple)) and data and all(isinstance(item, np.ndarray) for item in data):
        arrays = [np.asarray(item) for item in data]
        if any(array.ndim != 1 for array in arrays) or len({array.size for array in arrays}) != 1:
            raise ValueError("channels must be 1-D arrays of one length")
        array = np.stack(arrays, axis=1)
    else:
        array = np.asarray(data)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"samples must be real numbers, got dtype {array.dtype}")
    if array.ndim == 0 or array.size == 0:
        raise ValueError(f"no samples to save (shape {array.shape})")
    table = array.reshape(array.shape[0], -1)
    if columns is not None and len(columns) != table.shape[1]:
        raise ValueError(f"{len(columns)} column name(s) for {table.shape[1]} channel(s)")
    if sample_rate is not None and not (np.isfinite(sample_rate) and sample_rate > 0):
        raise ValueError(f"sample_rate must be a positive number, not {sample_rate!r}")
    rate = int(sample_rate) if sample_rate is not None and float(sample_rate).is_integer() else sample_rate
    return SignalData(
        channels=[np.ascontiguousarray(table[:, index]) for index in range(table.shape[1])],
        source="npy",
        dtype=array.dtype.newbyteorder("=").str,
        shape=[int(extent) for extent in array.shape],
        sample_rate=rate,
        columns=list(columns) if columns is not None else None,
    )


@dataclass
class LoadedSignal:
    """Decoded channels (float32/float64 as recorded) and the file's metadata."""

    channels: List[npt.NDArray[Any]]
    meta: Dict[str, Any]
    compressed: Compressed


def load_signal(path: PathLike, *, show_progress: Optional[bool] = False, jobs: int = 1) -> LoadedSignal:
    """Checks and decodes every channel; ContainerError names the damaged part."""
    return decode_compressed(Path(path), read_compressed(Path(path)), show_progress=show_progress, jobs=jobs)


def decode_compressed(source: Path, compressed: Compressed, *, show_progress: Optional[bool] = False,
                      jobs: int = 1) -> LoadedSignal:
    """Decodes the channels of a file `read_compressed` has checked, `jobs` at a time."""

    def decode(index: int) -> npt.NDArray[Any]:
        try:
            return decode_signal(compressed.streams[index])[0]
        except ValueError as error:
            part = f"channel {index}" if compressed.archive else "stream"
            raise ContainerError(f"{source}: {part} cannot be decoded: {error}") from error

    decoded = ordered_map(decode, range(len(compressed.streams)), jobs)
    channels = list(progress(decoded, total=len(compressed.streams), description=source.name,
                             enabled=show_progress, unit="channel"))
    return LoadedSignal(channels=channels, meta=describe(compressed), compressed=compressed)


def describe(compressed: Compressed) -> Dict[str, Any]:
    """The metadata `load` reports: the archive's, or what a bare stream implies."""
    if compressed.archive:
        meta = {key: value for key, value in compressed.meta.items() if key not in ("format", "version")}
    else:
        meta = {"source": None, "channels": 1, "dtype": compressed.trailers[0].dtype,
                "shape": [compressed.sample_counts()[0]], "sample_rate": None}
    meta["checksummed"] = compressed.checksummed
    return meta


def load(path: PathLike) -> Tuple[npt.NDArray[Any], Dict[str, Any]]:
    """The array a file holds, in its recorded dtype and shape, and its metadata.

    Metadata keys: `source` (the format compressed from: "npy" for arrays
    saved from Python, None for bare streams), `channels`, `dtype`, `shape`,
    `sample_rate`, and where known `sample_width`, `columns`, `suffix`;
    `checksummed` says whether the file carried checksums (it was checked).
    """
    loaded = load_signal(path)
    columns = np.stack(loaded.channels, axis=1)
    meta = loaded.meta
    dtype = np.dtype(meta.get("dtype") or "float32")
    shape = meta.get("shape")
    array: npt.NDArray[Any] = columns[:, 0] if columns.shape[1] == 1 else columns
    if shape and int(np.prod(shape)) == columns.size:
        array = columns.reshape(shape)
    return cast_samples(array, dtype), meta
