"""Seismic traces through obspy: miniSEED and SAC.

Each trace is one channel. `extra["seismic"]` keeps, per trace, the codes
(network, station, location, channel), the start time, the sampling rate,
the sample dtype and the format's own header (the miniSEED encoding and
record length, the SAC header), so that the decompressed file names the
same instrument at the same time. Traces of one file may differ in length
and rate (a miniSEED file with gaps holds several traces of one channel).
"""
from __future__ import annotations

import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

import numpy as np
import numpy.typing as npt

from ..signal_files import SignalData, SignalFileError, check_integral
from . import library_reason, optional_module
from . import recorded as recorded_of

KEY = "seismic"
FORMAT_OF_SUFFIX = {".mseed": "MSEED", ".miniseed": "MSEED", ".ms": "MSEED", ".sac": "SAC"}
SUFFIXES = set(FORMAT_OF_SUFFIX)
_CODES = ("network", "station", "location", "channel")
# Steim compression holds 32-bit integers only.
_INTEGER_ENCODINGS = {"STEIM1", "STEIM2", "INT32", "INT16", "INT24"}


def _obspy() -> Any:
    return optional_module("obspy", "reading and writing miniSEED and SAC files")


def read_seismic(path: Path) -> SignalData:
    obspy = _obspy()
    expected = FORMAT_OF_SUFFIX.get(path.suffix.lower())
    try:
        stream = obspy.read(str(path), format=expected)
    except Exception as error:  # obspy raises many types for damaged files
        raise SignalFileError(f"{path}: not a readable {expected or 'seismic'} file ({library_reason(error)})") from None
    traces = [trace for trace in stream if trace.stats.npts > 0]
    if not traces:
        raise SignalFileError(f"{path}: holds no samples")
    described: List[Dict[str, Any]] = [_describe_trace(trace) for trace in traces]
    channels = [np.ascontiguousarray(trace.data, dtype=np.float64) for trace in traces]
    dtypes = {entry["dtype"] for entry in described}
    lengths = {int(channel.size) for channel in channels}
    rates = {float(entry["sampling_rate"]) for entry in described}
    rate = rates.pop() if len(rates) == 1 else None
    return SignalData(
        channels=channels,
        source="mseed" if expected != "SAC" and described[0].get("format") != "SAC" else "sac",
        dtype=dtypes.pop() if len(dtypes) == 1 else "float64",
        shape=[lengths.pop(), len(channels)] if len(lengths) == 1 else None,
        sample_rate=int(rate) if rate is not None and rate.is_integer() else None,
        columns=[str(trace.id) for trace in traces],
        extra={KEY: {"traces": described}},
    )


def _describe_trace(trace: Any) -> Dict[str, Any]:
    stats = trace.stats
    entry: Dict[str, Any] = {code: str(stats[code]) for code in _CODES}
    entry.update(
        starttime=str(stats.starttime),
        sampling_rate=float(stats.sampling_rate),
        npts=int(stats.npts),
        dtype=np.dtype(trace.data.dtype).newbyteorder("=").name,
        format=str(stats.get("_format", "")),
    )
    if "mseed" in stats:
        entry["mseed"] = {key: _plain(stats.mseed[key]) for key in ("encoding", "record_length", "dataquality")
                          if key in stats.mseed}
    if "sac" in stats:
        entry["sac"] = {str(key): _plain(value) for key, value in stats.sac.items()}
    return entry


def _plain(value: Any) -> Any:
    """A JSON-ready copy of a header value (NumPy scalars become Python ones)."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    return str(value)


def write_seismic(
    path: Path,
    channels: Sequence[npt.NDArray[Any]],
    meta: Dict[str, Any],
    sample_rate: Optional[float] = None,
    suffix: Optional[str] = None,
) -> None:
    """Writes decoded channels as miniSEED or SAC (by `suffix`, default the path's)."""
    obspy = _obspy()
    major = FORMAT_OF_SUFFIX.get((suffix or path.suffix).lower(), "MSEED")
    recorded: List[Dict[str, Any]] = (recorded_of(meta, KEY) or {}).get("traces") or []
    if recorded and len(recorded) != len(channels):
        recorded = []  # the metadata no longer describes these channels
    if major == "SAC" and len(channels) != 1:
        raise SignalFileError(f"{path}: a SAC file holds one trace, these are {len(channels)}; write .mseed instead")
    traces = []
    for index, channel in enumerate(channels):
        entry = recorded[index] if recorded else {}
        rate = sample_rate or entry.get("sampling_rate") or meta.get("sample_rate")
        if not rate:
            raise SignalFileError("writing a seismic trace needs a sample rate: the input records none, give --sample-rate")
        encoding = (entry.get("mseed") or {}).get("encoding")
        dtype = np.dtype(entry.get("dtype") or ("int32" if encoding in _INTEGER_ENCODINGS else "float32"))
        if major == "SAC":
            dtype = np.dtype(np.float32)  # SAC stores float32 samples only
        header: Dict[str, Any] = {code: entry.get(code, "") for code in _CODES}
        header.update(sampling_rate=float(rate), starttime=obspy.UTCDateTime(entry.get("starttime", 0)))
        if not header["station"] and not header["channel"]:
            header.update(station="QRV", channel=f"C{index:02d}"[-3:])
        trace = obspy.Trace(data=_cast(np.asarray(channel), dtype), header=header)
        if major == "MSEED" and encoding:
            trace.stats.mseed = obspy.core.util.AttribDict({"encoding": encoding})
        if major == "SAC" and entry.get("sac"):
            trace.stats.sac = obspy.core.util.AttribDict(entry["sac"])
        traces.append(trace)
    options: Dict[str, Any] = {}
    if major == "MSEED" and recorded and recorded[0].get("mseed", {}).get("record_length"):
        options["reclen"] = int(recorded[0]["mseed"]["record_length"])
    try:
        with warnings.catch_warnings():
            # Traces of several encodings in one file are what the input held.
            warnings.simplefilter("ignore", UserWarning)
            obspy.Stream(traces).write(str(path), format=major, **options)
    except Exception as error:  # obspy raises many types
        raise SignalFileError(f"{path}: cannot write {major} ({library_reason(error)})") from None


def _cast(values: npt.NDArray[Any], dtype: np.dtype) -> npt.NDArray[Any]:
    if dtype.kind in "iu":
        check_integral(values, f"{dtype.name} trace")
        info = np.iinfo(dtype)
        return np.clip(np.rint(values.astype(np.float64)), info.min, info.max).astype(dtype)
    return np.ascontiguousarray(values, dtype=dtype)
