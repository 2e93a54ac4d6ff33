"""Choosing options from a quality target instead of by hand.

Given a bound on the largest absolute error, a floor on the PSNR, or both,
`choose_options` finds the smallest `compress_signal` stream that meets the
target. For callers who want reference-encoder streams; the target encoder
(`compress_to_target`) gives smaller streams at the same error.

Error is not predicted from the scale: it is measured on the reconstruction,
because the wavelet spreads quantisation error unevenly and the dead zone
adds a signal-dependent part. What is used is that, for one method and
cut-off, the error falls as the scale rises while the stream grows: the
smallest qualifying stream of that pair is at its lowest qualifying scale,
which a bisection over the seven scales finds in three trials, and a coarser
cut-off never qualifies at a lower scale than a finer one. The stream handed
back is decoded once more and checked, so the promise holds for exactly
those bytes.
"""
from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy.typing as npt

import quorvane

from .metrics import ErrorMetrics, error_metrics
from .options import CODERS, CUTOFFS, METHODS, SCALES, CoderName, CutoffName, MethodName, OptionChoice
from .progress import progress
from .samples import codec_input, is_finite


@dataclass(frozen=True)
class QualityTarget:
    """What a reconstruction must achieve; a None bound is not checked."""

    max_abs_error: Optional[float] = None
    min_psnr: Optional[float] = None

    def __post_init__(self) -> None:
        if self.max_abs_error is None and self.min_psnr is None:
            raise ValueError("a quality target needs max_abs_error, min_psnr or both")
        if self.max_abs_error is not None:
            bound = float(self.max_abs_error)
            if not math.isfinite(bound) or bound < 0.0:
                raise ValueError(f"max_abs_error must be a finite number >= 0, got {self.max_abs_error!r}")
        if self.min_psnr is not None and math.isnan(float(self.min_psnr)):
            raise ValueError("min_psnr must be a number, got nan")

    def met_by(self, metrics: ErrorMetrics) -> bool:
        if self.max_abs_error is not None and not metrics.max_abs_error <= self.max_abs_error:
            return False
        if self.min_psnr is not None and not metrics.psnr >= self.min_psnr:
            return False
        return True

    def describe(self) -> str:
        parts = []
        if self.max_abs_error is not None:
            parts.append(f"max_abs_error <= {self.max_abs_error:g}")
        if self.min_psnr is not None:
            parts.append(f"PSNR >= {self.min_psnr:g} dB")
        return " and ".join(parts)


@dataclass(frozen=True)
class QualityChoice:
    """The options chosen, the stream they produced and what it achieves."""

    choice: OptionChoice
    stream: bytes
    metrics: ErrorMetrics
    target: QualityTarget
    sample_count: int
    candidates: int

    @property
    def ratio(self) -> float:
        return 4.0 * self.sample_count / len(self.stream)

    def as_dict(self) -> Dict[str, Any]:
        return {
            **self.choice.as_dict(),
            "bytes": len(self.stream),
            "ratio": self.ratio,
            **self.metrics.as_dict(),
            "candidates": self.candidates,
        }

    def describe(self) -> str:
        return (
            f"chose {self.choice.describe()}: {len(self.stream)} bytes (ratio {self.ratio:.2f}), "
            f"max error {self.metrics.max_abs_error:.4g}, PSNR {self.metrics.psnr:.2f} dB "
            f"(target {self.target.describe()}; {self.candidates} candidates tried)"
        )


class TargetNotMet(ValueError):
    """No combination of the allowed options reaches the target."""


def choose_options(
    samples: npt.ArrayLike,
    *,
    max_abs_error: Optional[float] = None,
    min_psnr: Optional[float] = None,
    methods: Iterable[MethodName] = METHODS,
    coders: Iterable[CoderName] = ("arans",),
    scales: Iterable[int] = SCALES,
    cutoffs: Iterable[CutoffName] = CUTOFFS,
    show_progress: Optional[bool] = False,
    exhaustive: bool = False,
) -> QualityChoice:
    """The smallest stream of `samples` that meets the target, verified by decoding.

    Scales are searched by bisection per method and cut-off; `exhaustive`
    tries every combination instead. `coders` defaults to the rANS coder
    alone: DEFLATE, and the opt-in coder 2 ("bands"), are tried only when
    asked for. Ties in size go to the
    smaller RMSE. Raises TargetNotMet (a ValueError) naming the closest
    candidate when nothing qualifies.
    """
    target = QualityTarget(max_abs_error=max_abs_error, min_psnr=min_psnr)
    signal = codec_input(samples)
    if signal.size == 0:
        raise ValueError("cannot choose options for an empty signal")
    if not is_finite(signal):
        # The codec replaces NaN and infinities, so no reconstruction can
        # meet an error bound against them.
        raise ValueError("the signal has NaN or infinite samples; no error target can be verified")

    coder_list = list(coders)
    if not coder_list:
        raise ValueError("no coder to choose from")
    scale_list = sorted(set(scales))
    cutoff_list = sorted(set(cutoffs), key=CUTOFFS.index)
    method_list = list(methods)
    best: Optional[Tuple[int, float, OptionChoice, bytes]] = None
    closest: Optional[Tuple[float, OptionChoice, ErrorMetrics]] = None
    candidates = 0

    def trial(method: MethodName, cutoff: CutoffName, scale: int) -> bool:
        """Tries one shape with every coder; whether it meets the target."""
        nonlocal best, closest, candidates
        # The coders are lossless: every coder gives the same reconstruction
        # for one (method, cut-off, scale), so one decode measures them all.
        streams: List[Tuple[bytes, OptionChoice]] = []
        for coder in coder_list:
            choice = OptionChoice(method=method, scale=scale, cutoff=cutoff, coder=coder)
            streams.append((choice.compress(signal), choice))
            candidates += 1
        metrics = error_metrics(signal, quorvane.decompress_signal(streams[0][0]))
        if not target.met_by(metrics):
            shortfall = _shortfall(target, metrics)
            if closest is None or shortfall < closest[0]:
                closest = (shortfall, streams[0][1], metrics)
            return False
        for stream, choice in streams:
            key = (len(stream), metrics.rmse)
            if best is None or key < (best[0], best[1]):
                best = (len(stream), metrics.rmse, choice, stream)
        return True

    if exhaustive:
        shapes = list(itertools.product(method_list, cutoff_list, scale_list))
        for method, cutoff, scale in progress(shapes, total=len(shapes), description="search", enabled=show_progress):
            trial(method, cutoff, scale)
    else:
        for method in progress(method_list, total=len(method_list), description="search", enabled=show_progress):
            # Lowest qualifying scale index per cut-off; a coarser cut-off
            # zeroes more, so its lowest qualifying scale is no lower.
            start = 0
            for cutoff in cutoff_list:
                lo, hi = start, len(scale_list)  # the answer lies in [lo, hi]; hi: none qualifies
                while lo < hi:
                    middle = (lo + hi) // 2
                    if trial(method, cutoff, scale_list[middle]):
                        hi = middle
                    else:
                        lo = middle + 1
                if lo == len(scale_list):
                    break  # nothing qualifies at this cut-off, so none at coarser ones
                start = lo

    if best is None:
        detail = ""
        if closest is not None:
            _, choice, metrics = closest
            detail = (f"; closest was {choice.describe()} with max error {metrics.max_abs_error:.4g}"
                      f" and PSNR {metrics.psnr:.2f} dB")
        raise TargetNotMet(f"no options meet {target.describe()}{detail}")

    _, _, choice, stream = best
    verified = error_metrics(signal, quorvane.decompress_signal(stream))
    if not target.met_by(verified):  # pragma: no cover - the codec is deterministic
        raise RuntimeError(f"the chosen stream no longer meets {target.describe()} when decoded again")
    return QualityChoice(choice=choice, stream=stream, metrics=verified, target=target,
                         sample_count=signal.size, candidates=candidates)


def _shortfall(target: QualityTarget, metrics: ErrorMetrics) -> float:
    """How far a candidate misses, in the target's own units, for error messages."""
    missed = 0.0
    if target.max_abs_error is not None and metrics.max_abs_error > target.max_abs_error:
        scale = target.max_abs_error or 1.0
        missed += (metrics.max_abs_error - target.max_abs_error) / scale
    if target.min_psnr is not None and not metrics.psnr >= target.min_psnr:
        missed += (target.min_psnr - metrics.psnr) / 10.0
    return missed
