"""Readers and writers of the sample formats beyond `.npy`, raw float32 and
plain WAV, each through a well-kept library where one exists.

- `table`: CSV/TSV/text columns with empty cells, column selection and a
  leading time or label column (standard library and NumPy only).
- `audio`: WAV (PCM and float), RF64, W64, FLAC and AIFF through soundfile
  (libsndfile), the `cli` extra.
- `seismic`: miniSEED and SAC traces through obspy, the `seismic` extra.
- `biosignal`: EDF/EDF+ and BDF/BDF+ recordings through pyedflib, the
  `biosignal` extra.

Every reader returns a `SignalData`; what only its format knows (station
codes, physical ranges, the audio subtype, ...) goes into `extra` under the
format's name, and the matching writer takes it back from the metadata the
container stored, so that a decompressed file carries the same headers.
"""
from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any, Dict

from ..signal_files import SignalFileError

# The extra that installs each optional library, for the error a user sees.
_EXTRA_OF = {"soundfile": "cli", "obspy": "seismic", "pyedflib": "biosignal"}


def optional_module(name: str, purpose: str) -> ModuleType:
    """Imports an optional library or says which extra installs it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        extra = _EXTRA_OF.get(name, "dev")
        raise SignalFileError(
            f"{purpose} needs the Python package {name} ({error}); install it with pip install 'quorvane[{extra}]'"
        ) from None


def has_module(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def recorded(meta: Dict[str, Any], key: str) -> Any:
    """What a reader kept under `key`: stored metadata carries a reader's
    `extra` at its top level; a SignalData's own has it under "extra"."""
    if key in meta:
        return meta[key]
    return (meta.get("extra") or {}).get(key)


def library_reason(error: BaseException) -> str:
    """The last line of a format library's error: the reason without its traceback-like preamble."""
    text = str(error).strip()
    return text.splitlines()[-1] if text else type(error).__name__
