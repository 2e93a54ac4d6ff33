"""Companion tools for the `quorvane` extension module.

- `save` / `load`: compressed signal files (.qrvz, .qrv) from Python, the
  command line's own code path: dtype, shape, names, sample rate, NaN and
  infinities come back; checksums are verified on reading.
- `compress_to_target`: the smallest stream the target encoder finds that
  meets an error, PSNR or RMSE target (compiled part: `_encoder`).
- `choose_options`: the reference encoder's options that meet a target.
- `evaluate` / `measure`: ratio, error and speed of option combinations.
- `parse_header`: the fields of a stream's 52-byte header.
- `quorvane_tools.numcodecs_codec.Quorvane`: numcodecs codec for Zarr (v2
  compressor); `quorvane_tools.zarr3_codec.Quorvane`: its Zarr 3 serializer.
- `quorvane_tools.cli`: the `quorvane` command.
- `quorvane_tools.trailer`: the record after a stream that keeps dtype,
  NaN/infinity positions and a CRC-32 (docs/trailer-format.md).

Only NumPy is needed here; numcodecs, Zarr, tqdm and matplotlib are
imported by the modules that use them (extras "zarr", "cli", "plot").
"""
from pkgutil import extend_path

# A source checkout on sys.path ahead of the installed package still finds
# the compiled `_encoder`, which only the installed copy has.
__path__ = extend_path(__path__, __name__)

from .containers import ContainerError
from .evaluation import EvaluationRow, evaluate, measure
from .files import SavedFile, load, save
from .header import HeaderError, StreamHeader, parse_header
from .metrics import ErrorMetrics, error_metrics
from .options import OptionChoice, make_choice
from .quality import QualityChoice, QualityTarget, TargetNotMet, choose_options
from .target import TargetResult, TargetSettings, compress_to_target

__all__ = [
    "ContainerError",
    "ErrorMetrics",
    "EvaluationRow",
    "HeaderError",
    "OptionChoice",
    "QualityChoice",
    "QualityTarget",
    "SavedFile",
    "StreamHeader",
    "TargetNotMet",
    "TargetResult",
    "TargetSettings",
    "choose_options",
    "compress_to_target",
    "error_metrics",
    "evaluate",
    "load",
    "make_choice",
    "measure",
    "parse_header",
    "save",
]
