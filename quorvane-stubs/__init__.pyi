# Type information for the `quorvane` extension module. A stub-only
# package (PEP 561), because type checkers do not look for a lone
# quorvane.pyi beside an installed shared object.
from typing import Literal, Optional, SupportsIndex, Union, final

import numpy as np
import numpy.typing as npt

__all__ = ["QuorvCompressionOptions", "compress_signal", "decompress_signal"]

_Method = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff = Literal["low", "medium", "high"]
_Coder = Literal["auto", "deflate", "arans"]

@final
class QuorvCompressionOptions:
    """Opaque, immutable compression options; nothing can be read back."""

    def __new__(
        cls,
        method: _Method = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: _Cutoff = "low",
        coder: Optional[_Coder] = None,
    ) -> QuorvCompressionOptions: ...

def compress_signal(
    data: Union[npt.NDArray[np.float32], npt.NDArray[np.float64]],
    options: Optional[QuorvCompressionOptions] = None,
) -> bytes:
    """Compress a 1-D float32 **or** float64 NumPy array into Quorvane `bytes`.

    float64 input is downcast to float32 before compression (the codec works in
    f32 internally and always reconstructs f32 on decompress)."""

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Quorvane bytes object into a 1-D float32 NumPy array."""
