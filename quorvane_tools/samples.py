"""Turning arbitrary numeric arrays into what `compress_signal` accepts.

The extension takes only 1-D, contiguous, native-endian float32 or float64
arrays and refuses strided views rather than copying them. The tools accept
more (integer samples, big-endian files, views, several dimensions) and
make the one copy needed here.
"""
from __future__ import annotations

from typing import Any, Tuple, Union

import numpy as np
import numpy.typing as npt

import quorvane

from .options import OptionChoice

CodecInput = Union[npt.NDArray[np.float32], npt.NDArray[np.float64]]


def codec_input(samples: npt.ArrayLike) -> CodecInput:
    """A flat, C-ordered, native float32 or float64 copy-if-needed of `samples`.

    float32 and float64 keep their type (float64 is narrowed by the codec
    itself, bit-identically to astype(float32)); every other real type goes
    through float64, which holds all integers up to 2^53 exactly.
    """
    array = np.asarray(samples)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"samples must be real numbers, got dtype {array.dtype}")
    # A dtype compares equal only with its own byte order, so big-endian
    # float32 lands in the float64 branch, which converts it exactly.
    native = array.dtype if array.dtype in (np.float32, np.float64) else np.dtype(np.float64)
    return np.ascontiguousarray(array.reshape(-1), dtype=native)


def round_trip(samples: CodecInput, choice: OptionChoice) -> Tuple[bytes, npt.NDArray[np.float32]]:
    """Compresses and decodes once; returns the stream and the reconstruction."""
    stream = quorvane.compress_signal(samples, choice.to_quorvane())
    return stream, quorvane.decompress_signal(stream)


def is_finite(samples: Any) -> bool:
    return bool(np.all(np.isfinite(samples)))
