"""Compressing to a quality target with the target encoder.

`compress_to_target` asks for an error bound (largest absolute error,
smallest PSNR with the signal's range as peak, largest RMSE) instead of
options, and returns the smallest standard stream the codec's target encoder
finds that meets it: any `decompress_signal` reads it. The encoder rounds
coefficients to the nearest step of a freely chosen size instead of
truncating at a power-of-two step, so at the same error its streams are
typically 1.2-1.5x smaller than the best `compress_signal` stream, and it
reaches bounds `compress_signal` cannot. Every promise is checked on the
decoded stream against the samples as given.

The format still sets limits: coefficients are int16 in units of one step
for all bands, so a bound far below range / 32767 (one LSB of full-scale
16-bit audio, for example) cannot be met, and reconstructions are float32.
Such targets raise TargetNotMet.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, Optional, Sequence, Tuple, cast

import numpy as np
import numpy.typing as npt

import quorvane

from .metrics import ErrorMetrics, error_metrics
from .options import METHOD_IDS, METHODS, MethodName, check_method
from .quality import TargetNotMet

# Wavelet and coder ids as the stream header stores them.
METHOD_BY_ID: Dict[int, MethodName] = {number: cast(MethodName, name) for name, number in METHOD_IDS.items()}
# "auto" is the coder every decoder of the format reads (the rANS coder);
# "smallest" tries both standard coders and keeps the smaller stream.
# "bands" (coder 2) is opt-in: decoders older than it cannot read it.
CODER_IDS: Dict[str, int] = {"deflate": 0, "arans": 1, "bands": 2}
CODER_BY_ID: Dict[int, str] = {number: name for name, number in CODER_IDS.items()}
TARGET_CODERS: Tuple[str, ...] = ("auto", "smallest", *CODER_IDS)


@dataclass(frozen=True)
class TargetSettings:
    """What the target encoder chose; `step` is in the signal's units."""

    method: MethodName
    levels: int
    scale: int
    step: float
    dead_zone: float
    coder: str

    def as_dict(self) -> Dict[str, Any]:
        return {"method": self.method, "levels": self.levels, "scale": self.scale, "step": self.step,
                "dead_zone": self.dead_zone, "coder": self.coder}

    def describe(self) -> str:
        return (f"method={self.method} levels={self.levels} step={self.step:.6g} "
                f"dead_zone={self.dead_zone:g} coder={self.coder}")


@dataclass(frozen=True)
class TargetResult:
    """A stream that meets its target, with what it achieves on decoding."""

    stream: bytes
    settings: TargetSettings
    metrics: ErrorMetrics
    sample_count: int

    @property
    def ratio(self) -> float:
        """Size of the samples as float32 over the stream's size."""
        return 4.0 * self.sample_count / len(self.stream)

    def as_dict(self) -> Dict[str, Any]:
        return {**self.settings.as_dict(), "bytes": len(self.stream), "ratio": self.ratio,
                **self.metrics.as_dict()}


def _real_samples(samples: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The samples as one flat float64 array; any real dtype, any layout or byte order."""
    array = np.asarray(samples)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"samples must be real numbers, got dtype {array.dtype}")
    flat = np.asarray(array.reshape(-1), dtype=np.float64)
    if flat.size == 0:
        raise ValueError("cannot compress an empty signal")
    finite = np.isfinite(flat)
    if not finite.all():
        index = int(np.argmin(finite))
        raise ValueError(f"sample {index} is {float(flat[index])!r}: a quality target needs finite samples")
    return flat


def _check_bound(name: str, value: Optional[float]) -> Optional[float]:
    if value is None:
        return None
    bound = float(value)
    if math.isnan(bound) or (name != "min_psnr" and (bound < 0.0 or math.isinf(bound))):
        raise ValueError(f"{name} must be a finite number >= 0, got {value!r}")
    return bound


def _method_ids(methods: Optional[Iterable[str]]) -> Sequence[int]:
    names = METHODS if methods is None else [check_method(name) for name in methods]
    if not names:
        raise ValueError("no method to choose from")
    return [METHOD_IDS[name] for name in names]


def _coder_ids(coder: str) -> Sequence[int]:
    if coder == "auto":
        return [CODER_IDS["arans"]]
    if coder == "smallest":
        return [CODER_IDS["deflate"], CODER_IDS["arans"]]
    if coder not in CODER_IDS:
        expected = ", ".join(repr(name) for name in TARGET_CODERS)
        raise ValueError(f"unknown coder {coder!r}, expected one of {expected}")
    return [CODER_IDS[coder]]


def compress_to_target(
    samples: npt.ArrayLike,
    *,
    max_abs_error: Optional[float] = None,
    min_psnr: Optional[float] = None,
    max_rmse: Optional[float] = None,
    methods: Optional[Iterable[MethodName]] = None,
    coder: str = "auto",
) -> TargetResult:
    """The smallest stream found that meets every bound given, verified by decoding.

    `samples`: any real dtype, list, strided or byte-swapped array (flattened
    in C order); NaN and infinities are refused with ValueError. Bounds:
    `max_abs_error` and `max_rmse` in the signal's units, `min_psnr` in dB
    with the signal's range (max - min) as peak. `methods` limits the
    wavelets tried (default: all four); `coder` is "auto" (the rANS coder),
    "arans", "deflate", "smallest" (both, keep the smaller) or "bands"
    (coder 2, opt-in: only decoders that know it read the stream). Raises
    TargetNotMet (a ValueError) when no stream of the format meets the
    target. The interpreter lock is released while encoding.
    """
    max_abs = _check_bound("max_abs_error", max_abs_error)
    psnr = _check_bound("min_psnr", min_psnr)
    rmse = _check_bound("max_rmse", max_rmse)
    if max_abs is None and psnr is None and rmse is None:
        raise ValueError("a quality target needs max_abs_error, min_psnr or max_rmse")
    method_ids = _method_ids(methods)
    coder_ids = _coder_ids(coder)
    original = _real_samples(samples)

    narrowed: npt.NDArray[np.float32]
    narrowing: Optional[npt.NDArray[np.float64]] = None
    if isinstance(samples, np.ndarray) and samples.dtype == np.float32:
        # Native float32 is what the encoder works in: nothing is narrowed.
        narrowed = np.ascontiguousarray(samples.reshape(-1))
    else:
        with np.errstate(over="ignore"):
            narrowed = original.astype(np.float32)
        if not np.isfinite(narrowed).all():
            index = int(np.argmin(np.isfinite(narrowed)))
            raise ValueError(
                f"sample {index} is {float(original[index])!r}, outside the float32 range the codec works in")
        narrowing = narrowed.astype(np.float64) - original
    from . import _encoder  # the compiled part; imported here so the rest of the package needs NumPy only

    bounds: Dict[str, Optional[float]]
    if narrowing is None or not narrowing.any():
        bounds = {"max_abs_error": max_abs, "min_psnr": psnr, "max_rmse": rmse}
    else:
        # The encoder sees float32 samples; what narrowing already lost is
        # taken off each bound, so that the bound holds against the input.
        lost_max = float(np.max(np.abs(narrowing)))
        lost_rms = math.sqrt(float(np.mean(narrowing * narrowing)))
        peak = float(np.max(original) - np.min(original))
        rms_bounds = [b for b in (rmse, None if psnr is None else peak * 10.0 ** (-psnr / 20.0)) if b is not None]
        bounds = {
            "max_abs_error": None if max_abs is None else max_abs - lost_max,
            "min_psnr": None,
            "max_rmse": min(rms_bounds) - lost_rms if rms_bounds else None,
        }
        if any(value is not None and value < 0.0 for value in bounds.values()):
            raise TargetNotMet("the target is tighter than the float32 precision the codec works in")
    try:
        stream, chosen, _, decoded = _encoder.encode_to_target(narrowed, methods=method_ids, coders=coder_ids,
                                                               **bounds)
    except _encoder.TargetUnreachable as error:
        raise TargetNotMet(str(error)) from None

    # The encoder's own check decoded the stream with the codec's decoder;
    # its samples are measured here against the input as given.
    metrics = error_metrics(original, np.frombuffer(decoded, dtype=np.float32))
    if not _meets(metrics, max_abs, psnr, rmse):  # pragma: no cover - the encoder verifies its own streams
        raise RuntimeError("the target encoder's stream does not meet its target when decoded")
    method, levels, scale, step, dead_zone, coder_id = chosen
    settings = TargetSettings(method=METHOD_BY_ID[method], levels=levels, scale=scale, step=step,
                              dead_zone=dead_zone, coder=CODER_BY_ID[coder_id])
    return TargetResult(stream=stream, settings=settings, metrics=metrics, sample_count=original.size)


def _meets(metrics: ErrorMetrics, max_abs: Optional[float], psnr: Optional[float], rmse: Optional[float]) -> bool:
    if max_abs is not None and not metrics.max_abs_error <= max_abs:
        return False
    if psnr is not None and not metrics.psnr >= psnr:
        return False
    if rmse is not None and not metrics.rmse <= rmse:
        return False
    return True


def check_target_coder(coder: object) -> str:
    """A coder name `compress_to_target` takes, or ValueError listing them."""
    if not isinstance(coder, str) or coder not in TARGET_CODERS:
        expected = ", ".join(repr(name) for name in TARGET_CODERS)
        raise ValueError(f"unknown coder {coder!r}, expected one of {expected}")
    return coder


def describe_target(max_abs_error: Optional[float], min_psnr: Optional[float], max_rmse: Optional[float]) -> str:
    return " and ".join(part for part in (
        f"max error <= {max_abs_error:g}" if max_abs_error is not None else "",
        f"PSNR >= {min_psnr:g} dB" if min_psnr is not None else "",
        f"RMSE <= {max_rmse:g}" if max_rmse is not None else "") if part)


def encode_chunk_to_target(samples: npt.NDArray[Any], bounds: Dict[str, Any], *, always_trailer: bool = False,
                           keep_dtype: bool = True) -> Tuple[bytes, Optional[TargetResult]]:
    """One chunk (stream and trailer) of a 1-D float32/float64 array that
    meets `bounds` (the keywords of compress_to_target) on its finite
    samples, measured against the values as given: float64 chunks are not
    narrowed before the encoder sees them. NaN and infinities are kept in
    the trailer and filled for the encoder, as for any chunk."""
    from .streams import finish_chunk, prepare_signal

    prepared = prepare_signal(samples)
    if prepared.samples is None:  # nothing finite: the placeholder stream
        return finish_chunk(quorvane.compress_signal(prepared.codec_samples()), prepared,
                            always_trailer=always_trailer, keep_dtype=keep_dtype), None
    values = samples
    if len(prepared.runs):
        values = np.where(np.isfinite(samples), samples, prepared.samples.astype(samples.dtype))
    result = compress_to_target(values, **bounds)
    return finish_chunk(result.stream, prepared, always_trailer=always_trailer, keep_dtype=keep_dtype), result


def target_compressor(max_abs_error: Optional[float], min_psnr: Optional[float], max_rmse: Optional[float], *,
                      methods: Optional[Iterable[MethodName]] = None,
                      coder: str = "auto") -> Callable[[npt.NDArray[np.float32], int], Tuple[bytes, Optional[str]]]:
    """Per channel, the target encoder's stream and a line describing it
    (the command line's channel compressor)."""
    wanted = describe_target(max_abs_error, min_psnr, max_rmse)
    method_list = None if methods is None else list(methods)

    def compress(samples: npt.NDArray[np.float32], index: int) -> Tuple[bytes, Optional[str]]:
        result = compress_to_target(samples, max_abs_error=max_abs_error, min_psnr=min_psnr, max_rmse=max_rmse,
                                    methods=method_list, coder=coder)
        return result.stream, (f"target encoder: {result.settings.describe()}: {len(result.stream)} bytes "
                               f"(ratio {result.ratio:.2f}), max error {result.metrics.max_abs_error:.4g}, "
                               f"PSNR {result.metrics.psnr:.2f} dB (target {wanted})")

    return compress
