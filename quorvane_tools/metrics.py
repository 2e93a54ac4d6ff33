"""Error measures between a signal and its reconstruction.

All measures are taken in float64 against the samples as the caller gave
them (a float64 input is compared before its narrowing to float32, so the
narrowing counts as part of the error).

PSNR is 20 log10(peak-to-peak of the original / RMSE), in dB: the signal's
own range is the "peak", since sampled signals have no fixed full scale.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict

import numpy as np
import numpy.typing as npt


@dataclass(frozen=True)
class ErrorMetrics:
    max_abs_error: float
    rmse: float
    psnr: float
    peak_to_peak: float

    def as_dict(self) -> Dict[str, Any]:
        return {
            "max_abs_error": self.max_abs_error,
            "rmse": self.rmse,
            "psnr": self.psnr,
            "peak_to_peak": self.peak_to_peak,
        }


def psnr_from(peak_to_peak: float, rmse: float) -> float:
    if rmse == 0.0:
        return math.inf
    if peak_to_peak == 0.0:
        # A flat signal reconstructed with any error has no meaningful peak.
        return -math.inf
    return 20.0 * math.log10(peak_to_peak / rmse)


def error_metrics(original: npt.ArrayLike, restored: npt.ArrayLike) -> ErrorMetrics:
    """Measures `restored` against `original`; both flat and of equal length."""
    reference = np.asarray(original, dtype=np.float64).reshape(-1)
    candidate = np.asarray(restored, dtype=np.float64).reshape(-1)
    if reference.shape != candidate.shape:
        raise ValueError(f"lengths differ: {reference.size} original samples, {candidate.size} restored")
    if reference.size == 0:
        return ErrorMetrics(0.0, 0.0, math.inf, 0.0)
    difference = candidate - reference
    max_abs_error = float(np.max(np.abs(difference)))
    rmse = math.sqrt(float(np.mean(difference * difference)))
    peak_to_peak = float(np.max(reference) - np.min(reference))
    return ErrorMetrics(max_abs_error, rmse, psnr_from(peak_to_peak, rmse), peak_to_peak)


def combine(parts: "list[tuple[ErrorMetrics, int]]") -> ErrorMetrics:
    """Metrics of several channels taken together, from (metrics, length) pairs.

    The maximum error is the largest of all; the RMSE is over every sample;
    the PSNR uses the largest channel range, so one quiet channel does not
    make the whole look worse.
    """
    if not parts:
        return ErrorMetrics(0.0, 0.0, math.inf, 0.0)
    total = sum(length for _, length in parts)
    max_abs_error = max(metrics.max_abs_error for metrics, _ in parts)
    squares = sum(metrics.rmse * metrics.rmse * length for metrics, length in parts)
    rmse = math.sqrt(squares / total) if total else 0.0
    peak_to_peak = max(metrics.peak_to_peak for metrics, _ in parts)
    return ErrorMetrics(max_abs_error, rmse, psnr_from(peak_to_peak, rmse), peak_to_peak)
