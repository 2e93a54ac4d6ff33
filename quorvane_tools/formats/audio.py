"""Audio files through soundfile (libsndfile): WAV with PCM or float
samples, RF64 and W64 (WAV beyond 4 GiB), FLAC and AIFF.

Integer PCM reads as integer sample values (a 16-bit file gives -32768 ..
32767, an 8-bit one -128 .. 127), so that the error a user sets is in the
file's own units and the way back rounds to the same grid. Float files
read as they are stored. Other encodings (mu-law, A-law, ADPCM, ...) read
as floats in -1 .. 1. `extra["audio"]` keeps the container and subtype, so
the decompressed file is written the way the original was.
"""
from __future__ import annotations

from pathlib import Path
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from ..signal_files import SignalData, SignalFileError, check_integral
from . import optional_module
from . import recorded as recorded_of

KEY = "audio"
# Suffix -> libsndfile major format; ".wav" may also hold RF64 or WAVEX.
FORMAT_OF_SUFFIX = {
    ".wav": "WAV", ".wave": "WAV", ".rf64": "RF64", ".w64": "W64",
    ".flac": "FLAC", ".aif": "AIFF", ".aiff": "AIFF", ".aifc": "AIFF",
}
SUFFIXES = set(FORMAT_OF_SUFFIX)
# Integer subtypes: bytes per sample, and the dtype soundfile hands the
# values over in (left-aligned: 8-bit samples arrive as int16 << 8, 24-bit
# ones as int32 << 8).
_PCM = {
    "PCM_U8": (1, np.int16), "PCM_S8": (1, np.int16), "PCM_16": (2, np.int16),
    "PCM_24": (3, np.int32), "PCM_32": (4, np.int32),
}
_FLOAT = {"FLOAT": 4, "DOUBLE": 8}
# RIFF sizes are 32-bit; a WAV near 4 GiB has to be RF64.
_RIFF_LIMIT = (1 << 32) - (1 << 20)


def _soundfile() -> Any:
    return optional_module("soundfile", "reading and writing FLAC, AIFF, RF64, W64 and float WAV files")


def read_audio(path: Path) -> SignalData:
    soundfile = _soundfile()
    try:
        info = soundfile.info(str(path))
    except (RuntimeError, soundfile.LibsndfileError) as error:
        raise SignalFileError(f"{path}: not a readable audio file ({_reason(error)})") from None
    if info.frames <= 0:
        raise SignalFileError(f"{path}: holds no samples ({info.format} {info.subtype}, 0 frames)")
    subtype = str(info.subtype)
    try:
        if subtype in _PCM:
            width, carrier = _PCM[subtype]
            raw = soundfile.read(str(path), dtype=np.dtype(carrier).name, always_2d=True)[0]
            shift = 8 * (np.dtype(carrier).itemsize - width)
            values: npt.NDArray[Any] = raw.astype(np.int64) >> shift if shift else raw
            dtype = "int8" if width == 1 else "int16" if width == 2 else "int32"
            sample_width: Optional[int] = width
        elif subtype in _FLOAT:
            dtype = "float32" if subtype == "FLOAT" else "float64"
            values = soundfile.read(str(path), dtype=dtype, always_2d=True)[0]
            sample_width = _FLOAT[subtype]
        else:
            values = soundfile.read(str(path), dtype="float64", always_2d=True)[0]
            dtype, sample_width = "float32", None
    except (RuntimeError, soundfile.LibsndfileError) as error:
        raise SignalFileError(f"{path}: {info.format} {subtype} data is damaged ({_reason(error)})") from None
    if values.shape[0] == 0:
        raise SignalFileError(f"{path}: holds no samples")
    carrier_dtype = np.float32 if dtype == "float32" else np.float64
    return SignalData(
        channels=[np.ascontiguousarray(values[:, index], dtype=carrier_dtype) for index in range(values.shape[1])],
        source=_source_name(str(info.format)),
        dtype=dtype,
        shape=[int(values.shape[0]), int(values.shape[1])],
        sample_rate=int(info.samplerate),
        sample_width=sample_width,
        extra={KEY: {"format": str(info.format), "subtype": subtype, "endian": str(info.endian)}},
    )


def _source_name(major: str) -> str:
    # WAV-like containers restore as .wav (RF64 keeps its format through extra).
    return {"WAV": "wav", "WAVEX": "wav", "RF64": "wav", "W64": "w64", "FLAC": "flac", "AIFF": "aiff"}.get(major, "wav")


def _reason(error: BaseException) -> str:
    text = str(error).strip()
    if not text:
        return type(error).__name__
    # "Error opening '<path>': Format not recognised." -> the part after the path
    return text.splitlines()[-1].rpartition("': ")[2]


def write_audio(
    path: Path,
    channels: Sequence[npt.NDArray[Any]],
    meta: Dict[str, Any],
    sample_rate: Optional[float] = None,
    suffix: Optional[str] = None,
) -> None:
    """Writes decoded channels as the audio format of `suffix` (default: the path's)."""
    soundfile = _soundfile()
    rate = sample_rate or meta.get("sample_rate")
    if not rate:
        raise SignalFileError("writing an audio file needs a sample rate: the input records none, give --sample-rate")
    if float(rate) != int(rate) or int(rate) <= 0:
        raise SignalFileError(f"audio files need a whole positive sample rate, not {rate}")
    columns = np.stack([np.asarray(channel) for channel in channels], axis=1)
    recorded: Dict[str, Any] = recorded_of(meta, KEY) or {}
    major = FORMAT_OF_SUFFIX.get((suffix or path.suffix).lower(), "WAV")
    if major == "WAV" and recorded.get("format") in ("RF64", "WAVEX"):
        major = str(recorded["format"])
    subtype, data = _subtype_and_data(soundfile, major, columns, meta, recorded)
    if major == "WAV" and data.nbytes >= _RIFF_LIMIT:
        major = "RF64"
    try:
        # The temporary path has no audio suffix, so name the format.
        soundfile.write(str(path), data, int(rate), subtype=subtype, format=major)
    except (RuntimeError, soundfile.LibsndfileError) as error:
        raise SignalFileError(f"{path}: cannot write {major} {subtype} ({_reason(error)})") from None


def _subtype_and_data(
    soundfile: Any, major: str, columns: npt.NDArray[Any], meta: Dict[str, Any], recorded: Dict[str, Any]
) -> Tuple[str, npt.NDArray[Any]]:
    width = meta.get("sample_width")
    floats = _is_float_dtype(meta.get("dtype"))
    if width is None and meta.get("dtype") is None:
        width = 2  # nothing recorded: 16-bit integer samples, as WAV files mostly are
    subtype = recorded.get("subtype")
    if subtype is None or not soundfile.check_format(major, subtype):
        subtype = _default_subtype(major, width, floats)
    integer_data = width in (1, 2, 3, 4) and not floats
    if subtype in _PCM:
        if not integer_data:
            # Float samples into an integer-only format (FLAC): full scale is 1.0.
            return subtype, _checked_unit_range(columns, major)
        check_integral(columns, f"{major} {subtype}")
        bytes_per_sample, carrier = _PCM[subtype]
        bits = 8 * bytes_per_sample
        low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
        values = np.clip(np.rint(columns.astype(np.float64)), low, high).astype(np.int64)
        shift = 8 * (np.dtype(carrier).itemsize - bytes_per_sample)
        return subtype, (values << shift).astype(carrier)
    if subtype in _FLOAT:
        return subtype, columns.astype(np.float32 if subtype == "FLOAT" else np.float64)
    return subtype, _checked_unit_range(columns, major)


def _is_float_dtype(dtype: Any) -> bool:
    try:
        return dtype is not None and np.dtype(dtype).kind == "f"
    except TypeError:
        return False


def _default_subtype(major: str, width: Optional[int], floats: bool) -> str:
    integer_only = major == "FLAC"
    if width in (1, 2, 3, 4) and not floats:
        if width == 1:
            return "PCM_S8" if major in ("FLAC", "AIFF") else "PCM_U8"
        if width == 4 and integer_only:
            raise SignalFileError("FLAC holds at most 24-bit samples; write a .wav or .w64 file instead")
        return f"PCM_{8 * width}"
    if integer_only:
        return "PCM_24"
    return "DOUBLE" if width == 8 else "FLOAT"


def _checked_unit_range(columns: npt.NDArray[Any], major: str) -> npt.NDArray[Any]:
    check_integral(columns, major)
    peak = float(np.max(np.abs(columns))) if columns.size else 0.0
    if peak > 1.0:
        raise SignalFileError(
            f"{major} stores these float samples as integers with full scale 1.0, but they reach {peak:.6g}; "
            "write a .wav, .w64 or .aiff file (float samples) instead"
        )
    return columns.astype(np.float64)

