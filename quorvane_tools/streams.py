"""One signal in, one chunk out: a stream plus, where needed, its trailer.

`encode_signal` is what the numcodecs codec and the file containers write:
it refuses float64 samples beyond float32's finite range (the codec itself
refuses extremes so far apart that their span overflows float32), fills
NaN and infinities with values interpolated from their finite neighbours (so
they neither widen the range nor cost ratio), compresses, and records the
non-finite positions and the source dtype in the trailer. `decode_signal`
checks the trailer and gives back the samples in their own dtype, with
every NaN and infinity where it was.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

import quorvane

from .header import parse_header
from .trailer import Trailer, apply_runs, build_trailer, find_non_finite, read_trailer

FLOAT32_MAX = float(np.finfo(np.float32).max)

Samples = Union[npt.NDArray[np.float32], npt.NDArray[np.float64]]


class SampleRangeError(ValueError):
    """Samples a float32 stream cannot represent."""


def narrow_checked(samples: Samples) -> npt.NDArray[np.float32]:
    """float32 samples of a 1-D float32/float64 array; float64 values that
    do not fit float32 are refused, naming the first one."""
    if samples.dtype == np.float32:
        return samples  # type: ignore[return-value]
    with np.errstate(over="ignore"):
        narrow = samples.astype(np.float32)
    overflow = np.isinf(narrow) & np.isfinite(samples)
    if overflow.any():
        index = int(np.argmax(overflow))
        raise SampleRangeError(
            f"sample {index} is {float(samples[index])!r}, beyond float32's range "
            f"(±{FLOAT32_MAX:.9g}); quorvane stores samples as float32")
    return narrow


def fill_non_finite(samples: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """A copy with every non-finite sample replaced by a linear interpolation
    of its nearest finite neighbours (the nearest one at either end):
    inside the finite range, and smooth, so the
    wavelet coefficients stay as small as those of the finite part."""
    finite = np.isfinite(samples)
    filled = samples.copy()
    known = np.flatnonzero(finite)
    missing = np.flatnonzero(~finite)
    filled[missing] = np.interp(missing, known, samples[known].astype(np.float64)).astype(np.float32)
    return filled


def encode_signal(samples: Samples, options: Optional[quorvane.QuorvCompressionOptions] = None, *,
                  always_trailer: bool = False) -> bytes:
    """Stream (and trailer) of a 1-D, contiguous, native float32/float64 array.

    The trailer is appended where the stream alone would lose something
    (non-finite samples, float64 dtype), or always with `always_trailer`
    (so that the chunk carries a checksum).
    """
    dtype = "float64" if samples.dtype == np.float64 else "float32"
    narrow = narrow_checked(samples)
    runs = find_non_finite(narrow)
    if runs.sample_count == narrow.size:
        # Nothing finite to keep: a one-sample placeholder stream, and the
        # trailer gives the length, so the chunk costs a few dozen bytes.
        stream: bytes = quorvane.compress_signal(np.zeros(1, np.float32), options)
        return stream + build_trailer(stream, dtype, runs, sample_count=narrow.size)
    if len(runs):
        narrow = fill_non_finite(narrow)
    stream = quorvane.compress_signal(narrow, options)
    if not (always_trailer or len(runs) or dtype == "float64"):
        return stream
    return stream + build_trailer(stream, dtype, runs)


def decode_signal(chunk: bytes) -> Tuple[Samples, Trailer]:
    """Samples of a chunk in their recorded dtype, and what its trailer held.

    Raises HeaderError / TrailerError (ValueErrors) for a damaged chunk, and
    the decoder's ValueError for a payload it cannot decode.
    """
    header = parse_header(chunk)
    trailer = read_trailer(chunk, header)
    dtype = np.float64 if trailer.dtype == "float64" else np.float32
    decoded: npt.NDArray[Any]
    if trailer.sample_count is not None:
        decoded = np.empty(trailer.sample_count, dtype)  # every sample comes from the runs
    else:
        decoded = quorvane.decompress_signal(chunk).astype(dtype, copy=False)
    apply_runs(decoded, trailer.runs)
    return decoded, trailer
