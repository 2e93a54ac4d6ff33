# Type information for the compiled target encoder (python_tools/).
from typing import Any, Optional, Sequence, Tuple


class TargetUnreachable(ValueError): ...

def encode_to_target(
    samples: Any,
    *,
    max_abs_error: Optional[float] = None,
    min_psnr: Optional[float] = None,
    max_rmse: Optional[float] = None,
    methods: Optional[Sequence[int]] = None,
    coders: Optional[Sequence[int]] = None,
) -> Tuple[bytes, Tuple[int, int, int, float, float, int], Tuple[float, float, float], bytes]: ...
def encode_with_settings(
    samples: Any, *, method: int, levels: int, scale: int, step: float, dead_zone: float, coder: int
) -> bytes: ...
def compress_with_band_coder(samples: Any, *, method: int, scale: int, cutoff: int) -> bytes: ...
