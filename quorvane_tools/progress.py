"""Progress bars that cost nothing when they are not wanted.

tqdm is an optional dependency (the `cli` extra). Without it, or when the
caller asks for no progress, the helpers hand back the plain iterable. With
`enabled=None` a bar is drawn only when stderr is a terminal, so pipes,
logs and tests see no bar.
"""
from __future__ import annotations

import importlib.util
import sys
from types import TracebackType
from typing import Any, Iterable, Iterator, List, Optional, Sequence, TextIO, Type, TypeVar

T = TypeVar("T")


def bar_wanted(enabled: Optional[bool], stream: Optional[TextIO] = None) -> bool:
    """Whether to draw a bar on `stream` (stderr): never when refused or
    without tqdm, always when asked for, and when nobody said, only on a
    terminal: a pipe or a log file must not collect bar redraws."""
    if enabled is False or importlib.util.find_spec("tqdm") is None:
        return False
    if enabled:
        return True
    target = sys.stderr if stream is None else stream
    try:
        return bool(target.isatty())
    except (AttributeError, ValueError):  # no stream, or a closed one
        return False


def progress(
    items: Iterable[T],
    *,
    total: Optional[int] = None,
    description: str = "",
    enabled: Optional[bool] = None,
    unit: str = "it",
) -> Iterator[T]:
    if not bar_wanted(enabled):
        return iter(items)
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    return iter(
        tqdm(items, total=total, desc=description or None, unit=unit, leave=False, dynamic_ncols=True)
    )


class StageBar:
    """A bar through the few big steps of one long operation ("reading",
    "compressing", "writing"), naming the step under way.

    The codec takes a whole signal in one call and reports nothing while it
    works, so a bar that moved within a step would be invented; this one
    moves only when a step really ends. Use it as a context manager: the bar
    is cleared at the end, whether the work succeeded or failed.
    """

    def __init__(self, stages: Sequence[str], *, description: str = "", enabled: Optional[bool] = None) -> None:
        self.stages: List[str] = list(stages)
        self.description = description
        self._bar: Any = None
        if bar_wanted(enabled):
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

            self._bar = tqdm(total=len(self.stages), desc=description or None, unit="step", leave=False,
                             dynamic_ncols=True, bar_format="{desc}: {bar} step {n_fmt}/{total_fmt} [{elapsed}]")

    @property
    def shown(self) -> bool:
        return self._bar is not None

    def start(self, stage: str) -> None:
        """Marks the steps before `stage` done and names `stage` as under way."""
        index = self.stages.index(stage)
        if self._bar is None:
            return
        self._bar.set_description_str(f"{self.description} {stage}".strip(), refresh=False)
        self._bar.update(index - self._bar.n)
        self._bar.refresh()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> "StageBar":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()
