"""The quorvane codec for Zarr format 3 arrays.

Zarr 3 arrays take numcodecs codecs through adapters; quorvane turns an
array chunk into bytes, so it is an array-to-bytes codec and goes in the
`serializer` slot (instead of the default "bytes" codec):

    zarr.create_array(store, shape=..., chunks=..., dtype="float32",
                      serializer=Quorvane(scale=10), compressors=None)

Zarr's crc32c codec after it puts a checksum on every chunk (chunks with
NaN, infinities or float64 samples carry a CRC-32 in their trailer anyway):

    zarr.create_array(..., serializer=Quorvane(), compressors=[zarr.codecs.Crc32cCodec()])

The metadata name is "numcodecs.quorvane"; the `zarr.codecs` entry point
under that name lets Zarr open such arrays without importing this module.
"""
from __future__ import annotations

from typing import Any

import numcodecs  # type: ignore[import-untyped,unused-ignore]

try:  # Zarr >= 3.1.3 carries the adapters; older releases left them in numcodecs.
    from zarr.codecs.numcodecs._codecs import _NumcodecsArrayBytesCodec
except ImportError:  # pragma: no cover - depends on the installed Zarr
    from numcodecs.zarr3 import _NumcodecsArrayBytesCodec  # type: ignore[import-untyped,no-redef,unused-ignore]

from .numcodecs_codec import Quorvane as _NumcodecsQuorvane

# The adapter resolves its codec through the numcodecs registry; register
# explicitly so that this works from a source tree without entry points too.
numcodecs.register_codec(_NumcodecsQuorvane)


class Quorvane(_NumcodecsArrayBytesCodec, codec_name="quorvane"):  # type: ignore[misc,unused-ignore]
    """Zarr 3 serializer: method, scale, cutoff and coder as for the numcodecs codec."""

    def __init__(self, **codec_config: Any) -> None:
        # Check the options when the codec is made, not when the first chunk is.
        checked = {key: value for key, value in codec_config.items() if key != "id"}
        _NumcodecsQuorvane(**checked)
        super().__init__(**codec_config)

    def validate(self, *, shape: Any, dtype: Any, chunk_grid: Any) -> None:
        native = dtype.to_native_dtype()
        if native.kind != "f" or native.itemsize not in (4, 8):
            raise ValueError(f"the quorvane codec stores float32 or float64 arrays, not {native}")
