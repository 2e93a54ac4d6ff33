"""The option values the extension module accepts, in one place.

Every tool here (codecs, command line, evaluation, quality search) names
methods, scales, cut-offs and coders the same way `QuorvCompressionOptions`
does, so that a value read from a config or a command line is checked once,
with a message that lists what would have been accepted.
"""
from __future__ import annotations

import inspect
from dataclasses import dataclass
from typing import Any, Dict, Literal, Optional, Sequence, Tuple, cast

import numpy as np
import numpy.typing as npt

import quorvane

MethodName = Literal["cdf97", "cdf53", "db4", "sym4"]
CutoffName = Literal["low", "medium", "high"]
CoderName = Literal["auto", "deflate", "arans", "bands"]

METHODS: Tuple[MethodName, ...] = ("cdf97", "cdf53", "db4", "sym4")
CUTOFFS: Tuple[CutoffName, ...] = ("low", "medium", "high")
# "auto" is the rANS coder under another name: the two give identical
# streams, so searches and tables try only the two real coders.
CODERS: Tuple[CoderName, ...] = ("arans", "deflate")
ALL_CODERS: Tuple[CoderName, ...] = ("auto", "deflate", "arans")
# Coder id 2, the band coder: same samples as "arans", a smaller payload, but
# opt-in: other implementations of the format cannot read its streams, so
# nothing writes it unless asked for by this name (and `quorvane` itself,
# `QuorvCompressionOptions` included, never does).
BAND_CODER: CoderName = "bands"
WRITABLE_CODERS: Tuple[CoderName, ...] = (*ALL_CODERS, BAND_CODER)
SCALES: Tuple[int, ...] = tuple(range(6, 13))


def _extension_defaults() -> Dict[str, Any]:
    """The defaults as the extension states them (its C++ options are the one
    place they are defined); coder None there means "auto"."""
    parameters = inspect.signature(quorvane.QuorvCompressionOptions).parameters
    defaults = {name: parameter.default for name, parameter in parameters.items()}
    if defaults["coder"] is None:
        defaults["coder"] = "auto"
    return defaults


_DEFAULTS = _extension_defaults()
DEFAULT_METHOD = cast(MethodName, _DEFAULTS["method"])
DEFAULT_SCALE = cast(int, _DEFAULTS["scale"])
DEFAULT_CUTOFF = cast(CutoffName, _DEFAULTS["cutoff"])
DEFAULT_CODER = cast(CoderName, _DEFAULTS["coder"])


@dataclass(frozen=True)
class OptionChoice:
    """One set of compression options as plain, readable values.

    `QuorvCompressionOptions` instances are opaque (nothing can be read back
    from them), so the tools carry this record and build the extension's
    object only when compressing.
    """

    method: MethodName = DEFAULT_METHOD
    scale: int = DEFAULT_SCALE
    cutoff: CutoffName = DEFAULT_CUTOFF
    coder: CoderName = DEFAULT_CODER

    def __post_init__(self) -> None:
        check_method(self.method)
        check_scale(self.scale)
        check_cutoff(self.cutoff)
        check_coder(self.coder)

    def to_quorvane(self) -> quorvane.QuorvCompressionOptions:
        if self.coder == BAND_CODER:
            raise ValueError("coder 'bands' is written by OptionChoice.compress (quorvane_tools), "
                             "not by quorvane.compress_signal")
        reference_coder = cast(Literal["auto", "deflate", "arans"], self.coder)  # "bands" refused above
        return quorvane.QuorvCompressionOptions(
            method=self.method, scale=self.scale, cutoff=self.cutoff, coder=reference_coder
        )

    def compress(self, samples: "npt.NDArray[np.float32] | npt.NDArray[np.float64]") -> bytes:
        """The stream of 1-D float32 (or float64) samples with these options: what
        `quorvane.compress_signal` writes, or for coder "bands" the same
        header and quantised coefficients with the payload coded by coder 2."""
        if self.coder != BAND_CODER:
            stream: bytes = quorvane.compress_signal(samples, self.to_quorvane())
            return stream
        from . import _encoder  # compiled; imported here so the rest of the package needs NumPy only

        return _encoder.compress_with_band_coder(
            np.ascontiguousarray(samples, dtype=np.float32), method=METHOD_IDS[self.method], scale=self.scale,
            cutoff=CUTOFF_IDS[self.cutoff])

    def as_dict(self) -> Dict[str, Any]:
        return {"method": self.method, "scale": self.scale, "cutoff": self.cutoff, "coder": self.coder}

    def describe(self) -> str:
        return f"method={self.method} scale={self.scale} cutoff={self.cutoff} coder={self.coder}"


# The codec's numbers for the options, as CodecOptions (and the stream
# header, for methods) hold them.
METHOD_IDS: Dict[str, int] = {"cdf53": 0, "cdf97": 1, "db4": 2, "sym4": 3}
CUTOFF_IDS: Dict[str, int] = {"low": 0, "medium": 1, "high": 2}


def _one_of(kind: str, value: object, allowed: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in allowed:
        expected = ", ".join(repr(name) for name in allowed)
        raise ValueError(f"unknown {kind} {value!r}, expected one of {expected}")
    return value


def check_method(value: object) -> MethodName:
    return cast(MethodName, _one_of("method", value, METHODS))


def check_cutoff(value: object) -> CutoffName:
    return cast(CutoffName, _one_of("cutoff", value, CUTOFFS))


def check_coder(value: object) -> CoderName:
    return cast(CoderName, _one_of("coder", value, WRITABLE_CODERS))


def check_scale(value: object) -> int:
    # bool is an int subclass, but scale=True is surely a mistake.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"scale must be an integer, got {type(value).__name__}")
    if not SCALES[0] <= value <= SCALES[-1]:
        raise ValueError(f"scale must lie in {SCALES[0]}..{SCALES[-1]}, got {value}")
    return value


def make_choice(
    method: Optional[str] = None,
    scale: Optional[int] = None,
    cutoff: Optional[str] = None,
    coder: Optional[str] = None,
) -> OptionChoice:
    """Checked options; None stands for the extension's default."""
    return OptionChoice(
        method=check_method(DEFAULT_METHOD if method is None else method),
        scale=check_scale(DEFAULT_SCALE if scale is None else scale),
        cutoff=check_cutoff(DEFAULT_CUTOFF if cutoff is None else cutoff),
        coder=check_coder(DEFAULT_CODER if coder is None else coder),
    )
