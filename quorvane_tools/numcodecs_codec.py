"""numcodecs codec: quorvane as the compressor of Zarr chunks.

A chunk of float32 or float64 samples, of any shape, is flattened in memory
order (C order for the C-ordered chunks Zarr hands over; an array created
with order "F" is flattened the way Zarr reshapes it back) and compressed as
one signal. The chunk is a plain quorvane stream, readable by
`quorvane.decompress_signal`. float64 chunks carry a four-byte trailer after
the stream, so that the decoder restores the chunk's dtype: the stream
decoder ignores bytes after its payload, and Zarr format 2 reinterprets the
decoded buffer with the array's dtype, so handing back float32 samples for a
float64 array would be misread.

Registered under the id "quorvane" through the `numcodecs.codecs` entry
point, so `numcodecs.get_codec({"id": "quorvane", ...})` and Zarr metadata
naming it work without importing this module first.
"""
from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np
import numpy.typing as npt
# numcodecs ships no type information.
from numcodecs.abc import Codec  # type: ignore[import-untyped,unused-ignore]
from numcodecs.compat import (  # type: ignore[import-untyped,unused-ignore]
    ensure_bytes, ensure_contiguous_ndarray, ensure_ndarray, ndarray_copy,
)

import quorvane

from .header import parse_header
from .options import make_choice

FLOAT64_TRAILER = b"QVf8"


class Quorvane(Codec):  # type: ignore[misc,unused-ignore]
    """Lossy wavelet compression of float32/float64 chunks.

    Parameters are those of `quorvane.QuorvCompressionOptions`: `method`
    ("cdf97", "cdf53", "db4", "sym4"), `scale` (6..12), `cutoff` ("low",
    "medium", "high") and `coder` ("auto", "deflate", "arans").
    """

    codec_id = "quorvane"

    def __init__(self, method: str = "cdf97", scale: int = 11, cutoff: str = "low", coder: str = "auto") -> None:
        choice = make_choice(method=method, scale=scale, cutoff=cutoff, coder=coder)
        self.method = choice.method
        self.scale = choice.scale
        self.cutoff = choice.cutoff
        self.coder = choice.coder
        self._options = choice.to_quorvane()

    def __getstate__(self) -> Dict[str, Any]:  # the extension's options object does not pickle
        return {"method": self.method, "scale": self.scale, "cutoff": self.cutoff, "coder": self.coder}

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
        wide = array.dtype.itemsize == 8
        native = np.dtype(np.float64 if wide else np.float32)
        samples = np.ascontiguousarray(array.reshape(-1, order="A"), dtype=native)
        stream = quorvane.compress_signal(samples, self._options)
        return stream + FLOAT64_TRAILER if wide else stream

    def decode(self, buf: Any, out: Optional[Any] = None) -> Any:
        data = ensure_bytes(buf)
        header = parse_header(data)
        restored: npt.NDArray[Any] = quorvane.decompress_signal(data)
        if data[header.stream_len:header.stream_len + len(FLOAT64_TRAILER)] == FLOAT64_TRAILER:
            restored = restored.astype(np.float64)
        if out is None:
            return restored
        target = ensure_ndarray(out)
        if target.dtype.kind == "f":
            flat = ensure_contiguous_ndarray(target).reshape(-1, order="A")
            if flat.size != restored.size:
                raise ValueError(f"output holds {flat.size} values, but the chunk has {restored.size}")
            flat[...] = restored
            return out
        # A raw byte buffer receives the samples in the chunk's own dtype.
        return ndarray_copy(restored, out)
