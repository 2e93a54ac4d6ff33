"""Progress bars that cost nothing when they are not wanted.

tqdm is an optional dependency (the `cli` extra). Without it, or when the
caller asks for no progress, the helpers hand back the plain iterable. With
`enabled=None` tqdm decides by itself and stays quiet when stderr is not a
terminal, so pipes, logs and tests see no bar.
"""
from __future__ import annotations

from typing import Iterable, Iterator, Optional, TypeVar

T = TypeVar("T")


def progress(
    items: Iterable[T],
    *,
    total: Optional[int] = None,
    description: str = "",
    enabled: Optional[bool] = None,
    unit: str = "it",
) -> Iterator[T]:
    if enabled is False:
        return iter(items)
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return iter(items)
    return iter(
        tqdm(items, total=total, desc=description or None, disable=None if enabled is None else not enabled,
             unit=unit, leave=False, dynamic_ncols=True)
    )
