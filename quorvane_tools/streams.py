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

from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

import quorvane

from .header import parse_header
from .options import OptionChoice
from .trailer import NonFiniteRuns, Trailer, TrailerError, apply_runs, build_trailer, find_non_finite, read_trailer

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


@dataclass(frozen=True)
class PreparedSignal:
    """What the codec compresses in place of a signal, and what goes in the trailer.

    `samples` is None when no sample is finite: the stream is then the
    placeholder stream of one 0.0 (see `placeholder_samples`).
    """

    samples: Optional[npt.NDArray[np.float32]]
    runs: NonFiniteRuns
    dtype: str
    sample_count: int

    def codec_samples(self) -> npt.NDArray[np.float32]:
        return self.samples if self.samples is not None else np.zeros(1, np.float32)


def prepare_signal(samples: Samples) -> PreparedSignal:
    """Checks a 1-D, contiguous, native float32/float64 array and fills its
    non-finite samples; raises SampleRangeError for float64 beyond float32."""
    dtype = "float64" if samples.dtype == np.float64 else "float32"
    narrow = narrow_checked(samples)
    runs = find_non_finite(narrow)
    if runs.sample_count == narrow.size:
        # Nothing finite to keep: a one-sample placeholder stream, and the
        # trailer gives the length, so the chunk costs about 100 bytes.
        return PreparedSignal(None, runs, dtype, int(narrow.size))
    return PreparedSignal(fill_non_finite(narrow) if len(runs) else narrow, runs, dtype, int(narrow.size))


def finish_chunk(stream: bytes, prepared: PreparedSignal, *, always_trailer: bool = False,
                 keep_dtype: bool = True) -> bytes:
    """The stream of `prepared.codec_samples()` with the trailer it needs.

    The trailer is appended where the stream alone would lose something
    (non-finite samples; a float64 dtype unless `keep_dtype` is False), or
    always with `always_trailer` (so that the chunk carries a checksum).
    """
    if prepared.samples is None:
        return stream + build_trailer(stream, prepared.dtype, prepared.runs, sample_count=prepared.sample_count)
    if not (always_trailer or len(prepared.runs) or (keep_dtype and prepared.dtype == "float64")):
        return stream
    return stream + build_trailer(stream, prepared.dtype, prepared.runs)


def encode_signal(samples: Samples, options: Union[quorvane.QuorvCompressionOptions, OptionChoice, None] = None, *,
                  always_trailer: bool = False) -> bytes:
    """Stream and trailer of a 1-D, contiguous, native float32/float64 array.
    An `OptionChoice` may name the opt-in coder "bands"."""
    prepared = prepare_signal(samples)
    stream: bytes
    if isinstance(options, OptionChoice):
        stream = options.compress(prepared.codec_samples())
    else:
        stream = quorvane.compress_signal(prepared.codec_samples(), options)
    return finish_chunk(stream, prepared, always_trailer=always_trailer)


class ChunkLengthError(TrailerError):
    """A chunk that holds another number of samples than its reader expects."""

    def __init__(self, count: int, expected: int) -> None:
        super().__init__(f"the chunk holds {count} samples, {expected} were expected")
        self.count = count


def decode_signal(chunk: bytes, expected_count: Optional[int] = None) -> Tuple[Samples, Trailer]:
    """Samples of a chunk in their recorded dtype, and what its trailer held.

    Raises HeaderError / TrailerError (ValueErrors) for a damaged chunk, and
    the decoder's ValueError for a payload it cannot decode. With
    `expected_count`, a chunk of another length is refused before decoding.
    """
    header = parse_header(chunk)
    trailer = read_trailer(chunk, header)
    count = chunk_sample_count(header.sample_count, trailer)
    if expected_count is not None and count != expected_count:
        raise ChunkLengthError(count, expected_count)
    dtype = np.float64 if trailer.dtype == "float64" else np.float32
    decoded: npt.NDArray[Any]
    if trailer.sample_count is not None:
        decoded = np.empty(trailer.sample_count, dtype)  # every sample comes from the runs
    else:
        decoded = quorvane.decompress_signal(chunk).astype(dtype, copy=False)
    apply_runs(decoded, trailer.runs)
    return decoded, trailer


def chunk_sample_count(stream_count: int, trailer: Trailer) -> int:
    return stream_count if trailer.sample_count is None else trailer.sample_count
