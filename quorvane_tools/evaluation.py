"""Measuring every combination of options on one signal.

For each method x coder x scale x cut-off the signal (or each of its
channels) is compressed and decoded, and the result is described by ratio,
bits per sample, error measures and throughput. The table behind `quorvane
eval` and the rate-distortion plots.
"""
from __future__ import annotations

import csv
import io
import itertools
import math
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, TypeVar

import numpy.typing as npt

import quorvane

from .metrics import ErrorMetrics, combine, error_metrics
from .options import CODERS, CUTOFFS, METHODS, SCALES, CoderName, CutoffName, MethodName, OptionChoice
from .parallel import ordered_map
from .progress import progress
from .samples import codec_input

T = TypeVar("T")


@dataclass(frozen=True)
class EvaluationRow:
    choice: OptionChoice
    sample_count: int
    stream_bytes: int
    metrics: ErrorMetrics
    compress_mb_per_s: float
    decompress_mb_per_s: float

    @property
    def ratio(self) -> float:
        """Size of the samples as float32 over the size of the stream(s)."""
        return 4.0 * self.sample_count / self.stream_bytes

    @property
    def bits_per_sample(self) -> float:
        return 8.0 * self.stream_bytes / self.sample_count

    def as_dict(self) -> Dict[str, Any]:
        return {
            **self.choice.as_dict(),
            "samples": self.sample_count,
            "bytes": self.stream_bytes,
            "ratio": self.ratio,
            "bits_per_sample": self.bits_per_sample,
            **self.metrics.as_dict(),
            "compress_mb_s": self.compress_mb_per_s,
            "decompress_mb_s": self.decompress_mb_per_s,
        }


def _best_time(function: Callable[[], T], repeat: int) -> Tuple[float, T]:
    """Fastest of `repeat` runs, so that one preempted run does not decide."""
    best = math.inf
    result: Optional[T] = None
    for _ in range(max(1, repeat)):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    assert result is not None
    return best, result


def _megabytes_per_second(sample_count: int, seconds: float) -> float:
    return 4.0 * sample_count / 1e6 / seconds if seconds > 0 else math.inf


def measure(channels: Sequence[npt.ArrayLike], choice: OptionChoice, repeat: int = 1) -> EvaluationRow:
    """Compresses every channel with `choice` and measures the whole."""
    options = choice.to_quorvane()
    parts: List[Tuple[ErrorMetrics, int]] = []
    total_bytes = total_samples = 0
    compress_seconds = decompress_seconds = 0.0
    for channel in channels:
        samples = codec_input(channel)
        seconds, stream = _best_time(lambda: quorvane.compress_signal(samples, options), repeat)
        compress_seconds += seconds
        seconds, restored = _best_time(lambda: quorvane.decompress_signal(stream), repeat)
        decompress_seconds += seconds
        parts.append((error_metrics(samples, restored), samples.size))
        total_bytes += len(stream)
        total_samples += samples.size
    if total_samples == 0:
        raise ValueError("nothing to evaluate: the input has no samples")
    return EvaluationRow(
        choice=choice,
        sample_count=total_samples,
        stream_bytes=total_bytes,
        metrics=combine(parts),
        compress_mb_per_s=_megabytes_per_second(total_samples, compress_seconds),
        decompress_mb_per_s=_megabytes_per_second(total_samples, decompress_seconds),
    )


def grid(
    methods: Iterable[MethodName] = METHODS,
    coders: Iterable[CoderName] = CODERS,
    scales: Iterable[int] = SCALES,
    cutoffs: Iterable[CutoffName] = CUTOFFS,
) -> List[OptionChoice]:
    """Every combination, in table order: method, coder, cut-off, scale."""
    return [
        OptionChoice(method=method, scale=scale, cutoff=cutoff, coder=coder)
        for method, coder, cutoff, scale in itertools.product(
            list(methods), list(coders), list(cutoffs), list(scales)
        )
    ]


def evaluate(
    channels: Sequence[npt.ArrayLike],
    choices: Optional[Sequence[OptionChoice]] = None,
    *,
    repeat: int = 3,
    show_progress: Optional[bool] = False,
    jobs: int = 1,
) -> List[EvaluationRow]:
    """One row per combination (all of them unless `choices` is given).

    With `jobs` > 1 the combinations run side by side: sizes and errors are
    the same, the speeds are measured while the others run.
    """
    selected = grid() if choices is None else list(choices)
    rows = ordered_map(lambda choice: measure(channels, choice, repeat), selected, jobs)
    return list(progress(rows, total=len(selected), description=f"eval of {len(selected)} combinations",
                         enabled=show_progress, unit="combination"))


COLUMNS = [
    ("method", "method", "{}"),
    ("coder", "coder", "{}"),
    ("scale", "scale", "{}"),
    ("cutoff", "cutoff", "{}"),
    ("bytes", "bytes", "{}"),
    ("ratio", "ratio", "{:.2f}"),
    ("bits/sample", "bits_per_sample", "{:.3f}"),
    ("max error", "max_abs_error", "{:.4g}"),
    ("RMSE", "rmse", "{:.4g}"),
    ("PSNR dB", "psnr", "{:.2f}"),
    ("comp MB/s", "compress_mb_s", "{:.1f}"),
    ("decomp MB/s", "decompress_mb_s", "{:.1f}"),
]


def format_table(rows: Sequence[EvaluationRow]) -> str:
    """A plain-text table with right-aligned numbers, one line per row."""
    cells = [[title for title, _, _ in COLUMNS]]
    for row in rows:
        values = row.as_dict()
        cells.append([pattern.format(values[key]) for _, key, pattern in COLUMNS])
    widths = [max(len(line[index]) for line in cells) for index in range(len(COLUMNS))]
    lines = []
    for line in cells:
        lines.append("  ".join(
            cell.ljust(width) if index < 4 else cell.rjust(width)
            for index, (cell, width) in enumerate(zip(line, widths))
        ).rstrip())
    return "\n".join(lines) + "\n"


def format_csv(rows: Sequence[EvaluationRow]) -> str:
    """Every field at full precision, for spreadsheets and scripts."""
    buffer = io.StringIO()
    keys = list(rows[0].as_dict()) if rows else [key for _, key, _ in COLUMNS]
    writer = csv.DictWriter(buffer, fieldnames=keys, lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({key: repr(value) if isinstance(value, float) else value
                         for key, value in row.as_dict().items()})
    return buffer.getvalue()


def pareto_front(rows: Sequence[EvaluationRow]) -> List[EvaluationRow]:
    """Rows no other row beats on both size and RMSE, smallest first."""
    front: List[EvaluationRow] = []
    for row in sorted(rows, key=lambda r: (r.stream_bytes, r.metrics.rmse)):
        if not front or row.metrics.rmse < front[-1].metrics.rmse:
            front.append(row)
    return front
