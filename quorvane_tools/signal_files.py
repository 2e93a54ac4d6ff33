"""Reading and writing the sample files the command line handles.

Formats, chosen by file suffix:

- `.npy`: one array. 1-D is one channel; 2-D is (samples, channels); more
  dimensions are (samples, everything else flattened).
- `.wav`: PCM or float samples through soundfile (libsndfile), else
  integer PCM through the standard library's `wave` (8, 16, 24 or 32
  bits); each channel is one signal, integer PCM as integer sample values.
- `.csv`, `.tsv`, `.txt`, `.dat`: numeric text columns, one channel each,
  an optional header row of names, `#` comment lines, empty cells as NaN,
  a leading time or label column kept aside (`formats.table`).
- `.f32`, `.raw`, `.bin`: little-endian float32, one channel (written
  interleaved when there are several).
- `.flac`, `.aiff`, `.w64`, `.rf64`, `.mseed`, `.sac`, `.edf`, `.bdf`:
  through their libraries (`quorvane_tools.formats`), with their headers.

`SignalData` carries what the compressed container has to keep for the
way back: the source format, dtype, shape, sample rate, sample width and
column names.
"""
from __future__ import annotations

import os
import secrets
import wave
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

NPY_SUFFIXES = {".npy"}
WAV_SUFFIXES = {".wav", ".wave"}
TEXT_SUFFIXES = {".csv", ".tsv", ".txt", ".dat"}
RAW_SUFFIXES = {".f32", ".raw", ".bin"}
FORMAT_SUFFIX = {
    "npy": ".npy", "wav": ".wav", "csv": ".csv", "raw": ".f32",
    # Read and written through their libraries (quorvane_tools.formats).
    "flac": ".flac", "aiff": ".aiff", "w64": ".w64", "rf64": ".rf64",
    "mseed": ".mseed", "sac": ".sac", "edf": ".edf", "bdf": ".bdf",
}


class SignalFileError(ValueError):
    """A file that cannot be read or written as samples; the text says why."""


@dataclass
class SignalData:
    channels: List[npt.NDArray[Any]]
    source: str
    dtype: str = "float32"
    shape: Optional[List[int]] = None
    sample_rate: Optional[float] = None
    sample_width: Optional[int] = None
    columns: Optional[List[str]] = None
    suffix: Optional[str] = None
    extra: Dict[str, Any] = field(default_factory=dict)

    @property
    def sample_count(self) -> int:
        return sum(int(channel.size) for channel in self.channels)

    def metadata(self) -> Dict[str, Any]:
        """The JSON-ready description a container stores for the way back."""
        meta: Dict[str, Any] = {
            "source": self.source,
            "channels": len(self.channels),
            "dtype": self.dtype,
            "shape": self.shape if self.shape is not None else [int(self.channels[0].size), len(self.channels)],
            "sample_rate": self.sample_rate,
        }
        if self.sample_width is not None:
            meta["sample_width"] = self.sample_width
        if self.columns is not None:
            meta["columns"] = self.columns
        if self.suffix is not None:
            meta["suffix"] = self.suffix
        for key, value in self.extra.items():
            meta.setdefault(key, value)
        return meta


def format_of(path: Path) -> str:
    suffix = path.suffix.lower()
    if suffix in NPY_SUFFIXES:
        return "npy"
    if suffix in WAV_SUFFIXES:
        return "wav"
    if suffix in TEXT_SUFFIXES:
        return "csv"
    if suffix in RAW_SUFFIXES:
        return "raw"
    from .formats.registry import kind_of_suffix, known_suffixes

    library_kind = kind_of_suffix(suffix)
    if library_kind is not None:
        return library_kind
    known = sorted(NPY_SUFFIXES | WAV_SUFFIXES | TEXT_SUFFIXES | RAW_SUFFIXES | set(known_suffixes()))
    what = f"'{path.suffix}'" if path.suffix else "without a suffix"
    raise SignalFileError(f"{path}: unknown sample file type {what} (known: {', '.join(known)})")


# ---------------------------------------------------------------- reading


def read_signal(path: Path, columns: Optional[Sequence[str]] = None) -> SignalData:
    """Reads a sample file by its suffix; `columns` selects text columns (see `select_columns`)."""
    if path.is_dir():
        raise SignalFileError(f"{path}: is a directory, not a sample file")
    if path.is_file() and path.stat().st_size == 0:
        raise SignalFileError(f"{path}: is empty (0 bytes)")
    kind = format_of(path)
    if columns and kind != "csv":
        raise SignalFileError(f"{path}: --columns applies to text tables (.csv, .tsv, .txt, .dat), not {kind} files")
    signal = _read_by_format(path, kind, columns)
    signal.suffix = path.suffix.lower()
    return signal


def _read_by_format(path: Path, kind: str, columns: Optional[Sequence[str]]) -> SignalData:
    from .formats import has_module
    from .formats.registry import read_library_kind
    from .formats.table import read_table

    try:
        if kind == "npy":
            return _read_npy(path)
        if kind == "wav":
            # libsndfile reads float WAV, WAVE_FORMAT_EXTENSIBLE and RF64 too;
            # the standard library's reader is the fallback without it.
            return read_library_kind(path, kind) if has_module("soundfile") else _read_wav(path)
        if kind == "csv":
            return read_table(path, columns)
        if kind == "raw":
            return _read_raw(path)
        return read_library_kind(path, kind)
    except SignalFileError:
        raise
    except (wave.Error, EOFError) as error:
        raise SignalFileError(f"{path}: not a readable PCM WAV file ({error})") from error
    except (ValueError, OSError) as error:
        if isinstance(error, OSError) and error.filename:
            raise
        raise SignalFileError(f"{path}: {error}") from error


def _read_npy(path: Path) -> SignalData:
    with open(path, "rb") as handle:
        magic = handle.read(6)
    if magic != b"\x93NUMPY":
        raise SignalFileError(f"{path}: not a NumPy .npy file (it starts with {magic!r}, not b'\\x93NUMPY')")
    array = np.load(path, allow_pickle=False)
    if array.dtype.kind not in "biuf":
        raise SignalFileError(f"{path}: holds {array.dtype} values; only real numbers can be compressed")
    if array.ndim == 0 or array.size == 0:
        raise SignalFileError(f"{path}: holds no samples (shape {array.shape})")
    columns = array.reshape(array.shape[0], -1)
    return SignalData(
        channels=[np.ascontiguousarray(columns[:, index]) for index in range(columns.shape[1])],
        source="npy",
        dtype=array.dtype.newbyteorder("=").str,
        shape=[int(extent) for extent in array.shape],
    )


_WAV_INTEGER = {1: np.uint8, 2: np.int16, 4: np.int32}


def _read_wav(path: Path) -> SignalData:
    with wave.open(str(path), "rb") as reader:
        channels = reader.getnchannels()
        width = reader.getsampwidth()
        rate = reader.getframerate()
        frames = reader.readframes(reader.getnframes())
    if width not in (1, 2, 3, 4):
        raise SignalFileError(f"{path}: {8 * width}-bit samples are not supported (8, 16, 24 or 32 bits are)")
    values = _pcm_to_int(frames, width).reshape(-1, channels)
    if values.shape[0] == 0:
        raise SignalFileError(f"{path}: holds no samples")
    return SignalData(
        channels=[np.ascontiguousarray(values[:, index], dtype=np.float64) for index in range(channels)],
        source="wav",
        # Signed values in the smallest NumPy type that holds them (8-bit WAV
        # is stored offset by 128, 24-bit has no type of its own).
        dtype={1: "int8", 2: "int16", 3: "int32", 4: "int32"}[width],
        shape=[int(values.shape[0]), channels],
        sample_rate=rate,
        sample_width=width,
    )


def _pcm_to_int(frames: bytes, width: int) -> npt.NDArray[np.int64]:
    if width == 3:
        raw = np.frombuffer(frames, dtype=np.uint8).reshape(-1, 3).astype(np.int64)
        unsigned = raw[:, 0] | (raw[:, 1] << 8) | (raw[:, 2] << 16)
        return np.where(unsigned >= 1 << 23, unsigned - (1 << 24), unsigned)
    values = np.frombuffer(frames, dtype=np.dtype(_WAV_INTEGER[width]).newbyteorder("<")).astype(np.int64)
    # 8-bit WAV is unsigned with its zero at 128.
    return values - 128 if width == 1 else values


def _read_raw(path: Path) -> SignalData:
    data = path.read_bytes()
    if len(data) % 4:
        raise SignalFileError(f"{path}: {len(data)} bytes is not a whole number of float32 samples")
    if not data:
        raise SignalFileError(f"{path}: holds no samples")
    samples = np.frombuffer(data, dtype="<f4").astype(np.float32)
    return SignalData(channels=[samples], source="raw", dtype="float32", shape=[int(samples.size)])


# ---------------------------------------------------------------- writing


@contextmanager
def atomic_output(path: Path) -> Iterator[Path]:
    """A temporary path beside `path` that becomes `path` only on success.

    A failure or an interrupt leaves no half-written file behind, and an
    existing file at `path` is replaced in one step or not at all.
    """
    temporary = _create_unique(path.parent / f".{path.name}.")
    try:
        yield temporary
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _create_unique(prefix: Path) -> Path:
    # Not tempfile.mkstemp: its files are private (0600) whatever the umask,
    # and the output should get the permissions any new file gets.
    for _ in range(100):
        candidate = Path(f"{prefix}{secrets.token_hex(4)}.part")
        try:
            os.close(os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError:
            continue
        return candidate
    raise FileExistsError(f"cannot create a temporary file beside {prefix}")


def write_signal(
    path: Path,
    channels: Sequence[npt.NDArray[np.float32]],
    meta: Dict[str, Any],
    *,
    kind: Optional[str] = None,
    sample_rate: Optional[float] = None,
) -> None:
    """Writes decoded channels in the format of `kind` (default: by suffix)."""
    kind = kind or format_of(path)
    if not channels:
        raise SignalFileError(f"{path}: nothing to write")
    from .formats import has_module
    from .formats.registry import SUFFIXES as LIBRARY_KINDS, write_library_kind

    if kind in LIBRARY_KINDS or (kind == "wav" and has_module("soundfile")):
        # These formats hold channels of different lengths and rates themselves.
        with atomic_output(path) as temporary:
            write_library_kind(temporary, kind, channels, meta, sample_rate)
        return
    lengths = {int(channel.size) for channel in channels}
    if len(lengths) != 1:
        raise SignalFileError(f"{path}: channels differ in length ({sorted(lengths)})")
    columns = np.stack([np.asarray(channel) for channel in channels], axis=1)
    with atomic_output(path) as temporary:
        if kind == "npy":
            _write_npy(temporary, columns, meta)
        elif kind == "wav":
            _write_wav(temporary, columns, meta, sample_rate)
        elif kind == "csv":
            from .formats.table import write_table

            write_table(temporary, path.suffix.lower(), columns, meta)
        elif kind == "raw":
            temporary.write_bytes(columns.astype("<f4").tobytes())
        else:
            raise SignalFileError(f"{path}: unknown output format {kind!r}")


def cast_samples(values: npt.NDArray[Any], dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """Decoded samples in the source dtype: integers rounded and clipped."""
    if dtype.kind in "iub":
        check_integral(values, str(dtype))
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return np.clip(np.rint(values.astype(np.float64)), info.min, info.max).astype(dtype)
    if dtype.kind == "b":
        return values >= 0.5
    return values.astype(dtype)


def check_integral(values: npt.NDArray[Any], target: str) -> None:
    """NaN and infinities have no integer value; refuse rather than invent one."""
    finite = np.isfinite(values)
    if finite.all():
        return
    table = values.reshape(values.shape[0], -1) if values.ndim > 1 else values.reshape(-1, 1)
    sample, channel = divmod(int(np.argmin(finite.reshape(-1))), table.shape[1])
    raise SignalFileError(f"{target} samples cannot hold {table[sample, channel]} "
                          f"(channel {channel}, sample {sample}); write .npy, .csv or .f32 instead")


def _write_npy(path: Path, columns: npt.NDArray[Any], meta: Dict[str, Any]) -> None:
    try:
        dtype = np.dtype(meta.get("dtype") or "float32")
    except TypeError:
        dtype = np.dtype(np.float32)
    if dtype.kind not in "biuf":
        dtype = np.dtype(np.float32)
    shape = meta.get("shape")
    array: npt.NDArray[Any] = columns[:, 0] if columns.shape[1] == 1 else columns
    if shape and int(np.prod(shape)) == columns.size and shape[0] == columns.shape[0]:
        array = columns.reshape(shape)
    with open(path, "wb") as handle:
        np.save(handle, cast_samples(array, dtype), allow_pickle=False)


def _write_wav(path: Path, columns: npt.NDArray[Any], meta: Dict[str, Any], sample_rate: Optional[float]) -> None:
    rate = sample_rate or meta.get("sample_rate")
    if not rate:
        raise SignalFileError("writing a WAV file needs a sample rate: the input records none, give --sample-rate")
    if float(rate) != int(rate):
        raise SignalFileError(f"a WAV file takes a whole number of samples per second, not {rate}")
    width = int(meta.get("sample_width") or 2)
    if width not in (1, 2, 3, 4):
        raise SignalFileError(f"cannot write {8 * width}-bit WAV samples")
    bits = 8 * width
    low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    check_integral(columns, "WAV")
    values = np.clip(np.rint(columns.astype(np.float64)), low, high).astype(np.int64).reshape(-1)
    if width == 1:
        frames = (values + 128).astype(np.uint8).tobytes()
    elif width == 3:
        unsigned = values & 0xFFFFFF
        frames = np.stack([unsigned & 0xFF, (unsigned >> 8) & 0xFF, unsigned >> 16], axis=1).astype(np.uint8).tobytes()
    else:
        frames = values.astype(np.dtype(_WAV_INTEGER[width]).newbyteorder("<")).tobytes()
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(columns.shape[1])
        writer.setsampwidth(width)
        writer.setframerate(int(rate))
        writer.writeframes(frames)


