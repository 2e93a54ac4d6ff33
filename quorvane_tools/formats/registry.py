"""Which library reads and writes which file kind, by suffix.

`signal_files` asks here for every suffix it does not handle itself; the
libraries are imported only when a file of theirs is met, so a missing
extra costs nothing until then and is named in the error.
"""
from __future__ import annotations

from pathlib import Path
from typing import Any, Callable, Dict, Optional, Sequence

import numpy.typing as npt

from ..signal_files import SignalData

# Kind (the `source` a reader records) -> the suffixes read as it, the first
# being the one written by default.
SUFFIXES: Dict[str, Sequence[str]] = {
    "flac": (".flac",),
    "aiff": (".aiff", ".aif", ".aifc"),
    "w64": (".w64",),
    "rf64": (".rf64",),
    "mseed": (".mseed", ".miniseed", ".ms"),
    "sac": (".sac",),
    "edf": (".edf",),
    "bdf": (".bdf",),
}
_AUDIO = {"flac", "aiff", "w64", "rf64", "wav"}
_SEISMIC = {"mseed", "sac"}
_BIOSIGNAL = {"edf", "bdf"}


def kind_of_suffix(suffix: str) -> Optional[str]:
    suffix = suffix.lower()
    for kind, suffixes in SUFFIXES.items():
        if suffix in suffixes:
            return kind
    return None


def default_suffix(kind: str) -> str:
    return ".wav" if kind == "wav" else SUFFIXES[kind][0]


def known_suffixes() -> Sequence[str]:
    return [suffix for suffixes in SUFFIXES.values() for suffix in suffixes]


def read_library_kind(path: Path, kind: str) -> SignalData:
    """Reads `path` as `kind` through its library (wav included, through soundfile)."""
    if kind in _AUDIO:
        from .audio import read_audio

        return read_audio(path)
    if kind in _SEISMIC:
        from .seismic import read_seismic

        return read_seismic(path)
    if kind in _BIOSIGNAL:
        from .biosignal import read_biosignal

        return read_biosignal(path)
    raise KeyError(kind)


def write_library_kind(
    path: Path,
    kind: str,
    channels: Sequence[npt.NDArray[Any]],
    meta: Dict[str, Any],
    sample_rate: Optional[float] = None,
) -> None:
    """Writes `channels` as `kind`; `path` may be a temporary name without the suffix."""
    writer: Callable[..., None]
    if kind in _AUDIO:
        from .audio import write_audio as writer
    elif kind in _SEISMIC:
        from .seismic import write_seismic as writer
    elif kind in _BIOSIGNAL:
        from .biosignal import write_biosignal as writer
    else:
        raise KeyError(kind)
    writer(path, channels, meta, sample_rate=sample_rate, suffix=default_suffix(kind))
