"""Biosignal recordings through pyedflib: EDF, EDF+, BDF and BDF+.

Each signal is one channel, in physical units (the digital values the
file stores, scaled by its physical and digital ranges). Signals may have
different sample rates and therefore lengths. `extra["biosignal"]` keeps
the file type, the record duration, the recording header (patient,
equipment, start date and time) and each signal's header (label, unit,
physical and digital range, prefilter, transducer, sample rate), so that
the decompressed file has the same layout; the decoded values are rounded
to the file's digital steps and clipped to each signal's range, which the
file cannot exceed.
"""
from __future__ import annotations

import datetime
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

import numpy as np
import numpy.typing as npt

from ..signal_files import SignalData, SignalFileError, check_integral
from . import library_reason, optional_module
from . import recorded as recorded_of

KEY = "biosignal"
SUFFIXES = {".edf", ".bdf"}
_SIGNAL_FIELDS = ("label", "dimension", "sample_frequency", "physical_max", "physical_min",
                  "digital_max", "digital_min", "prefilter", "transducer")
_HEADER_FIELDS = ("technician", "recording_additional", "patientname", "patient_additional", "patientcode",
                  "equipment", "admincode", "sex", "birthdate")


def _pyedflib() -> Any:
    return optional_module("pyedflib", "reading and writing EDF and BDF files")


def read_biosignal(path: Path) -> SignalData:
    pyedflib = _pyedflib()
    try:
        reader = pyedflib.EdfReader(str(path))
    except (OSError, ValueError) as error:
        raise SignalFileError(f"{path}: not a readable EDF/BDF file ({library_reason(error)})") from None
    try:
        count = int(reader.signals_in_file)
        if count == 0:
            raise SignalFileError(f"{path}: holds no signals")
        signals = [_signal_header(header) for header in reader.getSignalHeaders()]
        channels = [np.ascontiguousarray(reader.readSignal(index), dtype=np.float64) for index in range(count)]
        header = {key: _plain(value) for key, value in reader.getHeader().items() if key in _HEADER_FIELDS}
        start = reader.getStartdatetime()
        file_type = int(reader.filetype)
        duration = float(reader.datarecord_duration)
    finally:
        reader.close()
    if all(channel.size == 0 for channel in channels):
        raise SignalFileError(f"{path}: holds no samples")
    rates = {float(signal["sample_frequency"]) for signal in signals}
    rate = rates.pop() if len(rates) == 1 else None
    lengths = {int(channel.size) for channel in channels}
    bdf = file_type in (pyedflib.FILETYPE_BDF, pyedflib.FILETYPE_BDFPLUS)
    return SignalData(
        channels=channels,
        source="bdf" if bdf else "edf",
        dtype="float64",
        shape=[lengths.pop(), count] if len(lengths) == 1 else None,
        sample_rate=int(rate) if rate is not None and rate.is_integer() else None,
        columns=[str(signal["label"]) for signal in signals],
        extra={KEY: {
            "file_type": file_type,
            "record_duration": duration,
            "start": start.isoformat(),
            "header": header,
            "signals": signals,
        }},
    )


def _signal_header(header: Dict[str, Any]) -> Dict[str, Any]:
    described = {key: _plain(header.get(key)) for key in _SIGNAL_FIELDS}
    if described["sample_frequency"] is None:  # older pyedflib spell it sample_rate
        described["sample_frequency"] = _plain(header.get("sample_rate"))
    return described


def _plain(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode("latin-1")
    return value


def write_biosignal(
    path: Path,
    channels: Sequence[npt.NDArray[Any]],
    meta: Dict[str, Any],
    sample_rate: Optional[float] = None,
    suffix: Optional[str] = None,
) -> None:
    """Writes decoded channels as EDF+ or BDF+ (by `suffix`, default the path's)."""
    pyedflib = _pyedflib()
    recorded: Dict[str, Any] = recorded_of(meta, KEY) or {}
    signals: List[Dict[str, Any]] = list(recorded.get("signals") or [])
    if len(signals) != len(channels):
        signals = [_new_signal_header(index, channel, sample_rate or meta.get("sample_rate"), meta)
                   for index, channel in enumerate(channels)]
    bdf = (suffix or path.suffix).lower() == ".bdf"
    file_type = recorded.get("file_type")
    wanted_bdf = file_type in (pyedflib.FILETYPE_BDF, pyedflib.FILETYPE_BDFPLUS)
    if file_type is None or wanted_bdf != bdf:
        file_type = pyedflib.FILETYPE_BDFPLUS if bdf else pyedflib.FILETYPE_EDFPLUS
    if not bdf:
        signals = [_fit_edf_digital_range(signal) for signal in signals]
    values = [_digital(channel, signal) for channel, signal in zip(channels, signals)]
    writer = None
    try:
        writer = pyedflib.EdfWriter(str(path), len(channels), file_type=file_type)
        if recorded.get("record_duration"):
            with warnings.catch_warnings():
                # The recorded duration is the one the rates were read with.
                warnings.simplefilter("ignore", UserWarning)
                writer.setDatarecordDuration(float(recorded["record_duration"]))
        writer.setSignalHeaders([{key: value for key, value in signal.items() if value is not None}
                                 for signal in signals])
        header: Dict[str, Any] = {key: "" for key in _HEADER_FIELDS}
        header.update({key: value for key, value in (recorded.get("header") or {}).items()
                       if key in _HEADER_FIELDS and value is not None})
        header["startdate"] = (datetime.datetime.fromisoformat(str(recorded["start"])) if recorded.get("start")
                               else datetime.datetime(1985, 1, 1))  # EDF's own "no date" clipping date
        writer.setHeader(header)
        writer.writeSamples(values, digital=True)
    except SignalFileError:
        raise
    except Exception as error:  # pyedflib raises several types for bad headers
        raise SignalFileError(f"{path}: cannot write EDF/BDF ({library_reason(error)})") from None
    finally:
        if writer is not None:
            writer.close()


def _digital(channel: npt.NDArray[Any], signal: Dict[str, Any]) -> npt.NDArray[np.int32]:
    """Physical values back to the file's integers, rounded to the nearest
    (the library truncates, which moves a restored value a whole step)."""
    physical_min, physical_max = float(signal["physical_min"]), float(signal["physical_max"])
    digital_min, digital_max = int(signal["digital_min"]), int(signal["digital_max"])
    gain = (digital_max - digital_min) / (physical_max - physical_min)
    values = np.asarray(channel, dtype=np.float64)
    check_integral(values, "EDF/BDF")
    digital = np.rint((values - physical_min) * gain + digital_min)
    return np.clip(digital, digital_min, digital_max).astype(np.int32)


def _new_signal_header(index: int, channel: npt.NDArray[Any], rate: Optional[float],
                       meta: Dict[str, Any]) -> Dict[str, Any]:
    """A header for channels that come without one (from another format)."""
    if not rate:
        raise SignalFileError("writing an EDF/BDF file needs a sample rate: the input records none, give --sample-rate")
    names = meta.get("columns") or []
    finite = np.asarray(channel, dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    low = float(finite.min()) if finite.size else -1.0
    high = float(finite.max()) if finite.size else 1.0
    if high <= low:
        high = low + 1.0
    return {
        "label": str(names[index])[:16] if index < len(names) else f"ch{index}",
        "dimension": "", "sample_frequency": float(rate), "physical_min": low, "physical_max": high,
        "digital_min": -(1 << 23), "digital_max": (1 << 23) - 1, "prefilter": "", "transducer": "",
    }


def _fit_edf_digital_range(signal: Dict[str, Any]) -> Dict[str, Any]:
    """EDF samples are 16-bit; a BDF range written as EDF narrows to it."""
    fitted = dict(signal)
    fitted["digital_min"] = max(int(signal["digital_min"]), -(1 << 15))
    fitted["digital_max"] = min(int(signal["digital_max"]), (1 << 15) - 1)
    return fitted
