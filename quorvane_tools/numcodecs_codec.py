"""numcodecs codec: quorvane as the compressor of Zarr chunks.

A chunk of float32 or float64 samples, of any shape, is flattened in memory
order (C order for the C-ordered chunks Zarr hands over; an array created
with order "F" is flattened the way Zarr reshapes it back) and compressed as
one signal. The chunk is a quorvane stream, readable by
`quorvane.decompress_signal`, followed where needed by the trailer of
docs/trailer-format.md, which the stream decoder ignores:

- float64 chunks record their dtype there, so that they decode to float64
  (Zarr format 2 reinterprets the decoded buffer with the array's dtype, so
  handing back float32 samples for a float64 array would be misread); their
  values keep float32 precision, and a finite value beyond float32's range
  is refused with a ValueError naming it.
- NaN, +inf and -inf come back exactly where they were. Before compressing
  they are replaced by values interpolated from their finite neighbours, so
  they widen no range and cost (almost) no ratio; a chunk of nothing but
  NaN takes about 100 bytes. So a Zarr `fill_value=np.nan` reads back NaN.
- Such trailers carry a CRC-32 of the chunk. A float32 chunk without
  non-finite values is a bare stream and carries none. For a checksum over
  every chunk, add Zarr's own crc32c codec after this one, which Zarr
  format 3 allows:

      zarr.create_array(store, ..., serializer=zarr3_codec.Quorvane(),
                        compressors=[zarr.codecs.Crc32cCodec()])

  Zarr format 2 takes a single compressor, so nothing can follow it there;
  `Quorvane(checksum=True)` writes the trailer, and so a CRC-32, on every
  chunk instead.

Chunks written before the trailer existed (float64 chunks ending in "QVf8")
still decode.

Registered under the id "quorvane" through the `numcodecs.codecs` entry
point, so `numcodecs.get_codec({"id": "quorvane", ...})` and Zarr metadata
naming it work without importing this module first.
"""
from __future__ import annotations

from typing import Any, Dict, Optional, Union

import numpy as np
import numpy.typing as npt

import quorvane

# numcodecs ships no type information.
from numcodecs.abc import Codec  # type: ignore[import-untyped,unused-ignore]
from numcodecs.compat import (  # type: ignore[import-untyped,unused-ignore]
    ensure_bytes, ensure_contiguous_ndarray, ensure_ndarray, ndarray_copy,
)


from .options import BAND_CODER, DEFAULT_CODER, OptionChoice, check_method, make_choice
from .streams import ChunkLengthError, decode_signal, encode_signal
from .target import _check_bound, check_target_coder, encode_chunk_to_target


class Quorvane(Codec):  # type: ignore[misc,unused-ignore]
    """Lossy wavelet compression of float32/float64 chunks.

    Parameters are those of `quorvane.QuorvCompressionOptions`: `method`
    ("cdf97", "cdf53", "db4", "sym4"), `scale` (6..12), `cutoff` ("low",
    "medium", "high") and `coder` ("auto", "deflate", "arans", or the
    opt-in "bands": coder 2, a smaller payload of the same samples that
    only quorvane reads, never written unless named here). With
    `checksum=True` every chunk carries the trailer and so a CRC-32 (16
    bytes a chunk; the way to checksum float32 chunks in Zarr format 2).

    A quality target instead of `scale`: `max_abs_error`, `min_psnr` (dB,
    the chunk's range as peak) and/or `max_rmse`; every chunk is then
    written by the target encoder (`compress_to_target`) and meets every
    bound given on its finite samples, against the values as stored.
    `method` then limits the wavelets to that one only when given, `coder`
    may also be "smallest" or the opt-in "bands", and `cutoff` does not
    apply.
    """

    codec_id = "quorvane"

    def __init__(self, method: Optional[str] = None, scale: Optional[int] = None, cutoff: Optional[str] = None,
                 coder: str = DEFAULT_CODER, checksum: bool = False, max_abs_error: Optional[float] = None,
                 min_psnr: Optional[float] = None, max_rmse: Optional[float] = None) -> None:
        if not isinstance(checksum, bool):
            raise TypeError(f"checksum must be True or False, got {type(checksum).__name__}")
        self._target: Optional[Dict[str, Any]] = None
        if max_abs_error is not None or min_psnr is not None or max_rmse is not None:
            self._init_target(method, scale, cutoff, coder, checksum, max_abs_error, min_psnr, max_rmse)
            return
        choice = make_choice(method=method, scale=scale, cutoff=cutoff, coder=coder)
        self.method = choice.method
        self.scale = choice.scale
        self.cutoff = choice.cutoff
        self.coder = choice.coder
        if checksum:
            # In the configuration only when on, so existing metadata is unchanged.
            self.checksum = True
        self._checksum = checksum
        # Kept as the choice: coder "bands" is written by the tools, not by compress_signal.
        self._options: Union[OptionChoice, quorvane.QuorvCompressionOptions] = (
            choice if choice.coder == BAND_CODER else choice.to_quorvane())

    def _init_target(self, method: Optional[str], scale: Optional[int], cutoff: Optional[str], coder: str,
                     checksum: bool, max_abs_error: Optional[float], min_psnr: Optional[float],
                     max_rmse: Optional[float]) -> None:
        # Only what a target takes is in the configuration.
        if scale is not None or cutoff is not None:
            raise ValueError("a quality target (max_abs_error, min_psnr, max_rmse) replaces scale and cutoff")
        bounds = {"max_abs_error": max_abs_error, "min_psnr": min_psnr, "max_rmse": max_rmse}
        for name, value in bounds.items():
            if value is not None:
                checked = _check_bound(name, value)
                setattr(self, name, checked)
                bounds[name] = checked
        setattr(self, "coder", check_target_coder(coder))  # the target encoder takes more coder names
        if method is not None:
            self.method = check_method(method)
        if checksum:
            self.checksum = True
        self._checksum = checksum
        self._target = dict(bounds, methods=None if method is None else [self.method], coder=coder)

    def __getstate__(self) -> Dict[str, Any]:  # the extension's options object does not pickle
        if self._target is not None:
            return {key: value for key, value in self.__dict__.items() if not key.startswith("_")}
        state: Dict[str, Any] = {"method": self.method, "scale": self.scale, "cutoff": self.cutoff,
                                 "coder": self.coder}
        if self._checksum:
            state["checksum"] = True
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        state = dict(state)
        state.pop("id", None)
        self.__init__(**state)  # type: ignore[misc]

    def encode(self, buf: Any) -> bytes:
        array = ensure_ndarray(buf)
        if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
            raise TypeError(f"the quorvane codec compresses float32 or float64 data, got dtype {array.dtype}")
        if array.size == 0:
            raise ValueError("the quorvane codec cannot compress an empty chunk")
        native = np.dtype(np.float64 if array.dtype.itemsize == 8 else np.float32)
        samples = np.ascontiguousarray(array.reshape(-1, order="A"), dtype=native)
        if self._target is not None:
            return encode_chunk_to_target(samples, self._target, always_trailer=self._checksum)[0]
        return encode_signal(samples, self._options, always_trailer=self._checksum)

    def decode(self, buf: Any, out: Optional[Any] = None) -> Any:
        if out is None:
            return decode_signal(ensure_bytes(buf))[0]
        target = ensure_ndarray(out)
        if target.dtype.kind == "f":
            flat = ensure_contiguous_ndarray(target).reshape(-1, order="A")
            # The size of `out` is known before decoding: a chunk claiming any
            # other count is refused before its samples are allocated.
            try:
                restored: npt.NDArray[Any] = decode_signal(ensure_bytes(buf), expected_count=flat.size)[0]
            except ChunkLengthError as error:
                raise ValueError(f"output holds {flat.size} values, but the chunk has {error.count}") from None
            flat[...] = restored
            return out
        restored = decode_signal(ensure_bytes(buf))[0]
        # A raw byte buffer receives the samples in the chunk's own dtype.
        return ndarray_copy(restored, out)
