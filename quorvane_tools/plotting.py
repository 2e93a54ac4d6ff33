"""Rate-distortion plots of evaluation rows (matplotlib, the `plot` extra).

Two panels share the rate axis (bits per sample): PSNR above, the largest
absolute error below on a log axis. Colour tells the method, line style the
cut-off, marker the coder; each line runs over the scales.
"""
from __future__ import annotations

from collections import defaultdict
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .evaluation import EvaluationRow
from .options import CODERS, CUTOFFS, METHODS

_COLOURS = {"cdf97": "#1f77b4", "cdf53": "#ff7f0e", "db4": "#2ca02c", "sym4": "#d62728"}
_STYLES = {"low": "-", "medium": "--", "high": ":"}
_MARKERS = {"arans": "o", "auto": "o", "deflate": "s"}


def load_pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise RuntimeError("plotting needs matplotlib: pip install 'quorvane[plot]'") from None
    matplotlib.use("Agg")  # files only; never open a window
    import matplotlib.pyplot as pyplot

    return pyplot


def plot_rate_distortion(
    rows: Sequence[EvaluationRow], path: Path, *, title: str = "", image_format: Optional[str] = None
) -> None:
    """Writes the plot; the format is `image_format`, else the suffix (PNG, SVG, PDF...)."""
    if not rows:
        raise ValueError("nothing to plot")
    pyplot = load_pyplot()
    from matplotlib.lines import Line2D

    groups: Dict[Tuple[str, str, str], List[EvaluationRow]] = defaultdict(list)
    for row in rows:
        groups[(row.choice.method, row.choice.cutoff, row.choice.coder)].append(row)

    figure, (upper, lower) = pyplot.subplots(2, 1, sharex=True, figsize=(8, 7.5), dpi=110)
    for (method, cutoff, coder), members in sorted(groups.items()):
        members.sort(key=lambda r: r.choice.scale)
        rate = [r.bits_per_sample for r in members]
        style: Dict[str, Any] = dict(color=_COLOURS.get(method, "black"), linestyle=_STYLES.get(cutoff, "-"),
                     marker=_MARKERS.get(coder, "^"), markersize=4, linewidth=1.2)
        upper.plot(rate, [min(r.metrics.psnr, 200.0) for r in members], **style)
        lower.plot(rate, [max(r.metrics.max_abs_error, 1e-12) for r in members], **style)

    upper.set_ylabel("PSNR (dB)")
    lower.set_ylabel("max |error|")
    lower.set_yscale("log")
    lower.set_xlabel("bits per sample (float32 = 32)")
    for axes in (upper, lower):
        axes.grid(True, which="both", alpha=0.3)

    present = {key[0] for key in groups}, {key[1] for key in groups}, {key[2] for key in groups}
    handles = [Line2D([], [], color=_COLOURS[m], label=m) for m in METHODS if m in present[0]]
    handles += [Line2D([], [], color="grey", linestyle=_STYLES[c], label=f"cut-off {c}")  # type: ignore[arg-type,unused-ignore]
                for c in CUTOFFS if c in present[1]]
    handles += [Line2D([], [], color="grey", marker=_MARKERS[k], linestyle="none", label=k)
                for k in (*CODERS, "auto") if k in present[2]]
    upper.legend(handles=handles, fontsize=8, ncol=3, loc="lower right")
    if title:
        upper.set_title(title)
    figure.tight_layout()
    figure.savefig(path, format=image_format)
    pyplot.close(figure)
