#!/usr/bin/env python3
"""Rate-distortion plot of one signal: every reference-encoder stream of the
option grid, the target encoder at PSNR targets (rANS coder and the opt-in
coder 2), and the peers of
scripts/target_benchmark.py where installed. Writes
docs/target-rate-distortion.png.

Usage: scripts/plot_target_rd.py [SIGNAL.npy] [OUTPUT.png]
"""
from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import quorvane  # noqa: E402
from quorvane_tools import TargetNotMet, compress_to_target, error_metrics  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import target_benchmark  # noqa: E402

REPOSITORY = Path(__file__).resolve().parents[1]


def main() -> None:
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("/work/shared/corpus/alsa_rear_right.npy")
    output = Path(sys.argv[2]) if len(sys.argv) > 2 else REPOSITORY / "docs" / "target-rate-distortion.png"
    x = np.load(source)
    peak = float(np.max(x)) - float(np.min(x))
    bits = lambda size: 8.0 * size / x.size  # noqa: E731

    figure, axes = plt.subplots(figsize=(7.5, 4.8))
    grid = []
    for method in ("cdf97", "cdf53", "db4", "sym4"):
        for cutoff in ("low", "medium", "high"):
            for scale in range(6, 13):
                stream = quorvane.compress_signal(x, quorvane.QuorvCompressionOptions(method=method, scale=scale,
                                                                                      cutoff=cutoff))
                grid.append((bits(len(stream)), error_metrics(x, quorvane.decompress_signal(stream)).psnr))
    axes.scatter(*zip(*grid), s=10, color="0.6", label="compress_signal, every option")

    targets = np.arange(40.0, 86.0, 3.0)
    for coder, style, colour, label in (("auto", "o-", "C3", "compress_to_target"),
                                        ("bands", "s-", "C6", "compress_to_target, coder 2 (opt-in)")):
        ours = []
        for psnr in targets:
            try:
                result = compress_to_target(x, min_psnr=float(psnr), coder=coder)
            except TargetNotMet:
                continue
            ours.append((bits(len(result.stream)), result.metrics.psnr))
        axes.plot(*zip(*ours), style, color=colour, markersize=4, label=label)

    peer_colours = ("C0", "C1", "C2", "C4", "C5")
    for index, peer in enumerate(target_benchmark.installed_peers()):
        points = []
        for psnr in targets:
            size = target_benchmark.peer_size(peer, x, "psnr", float(psnr), peak)
            if size is not None:
                points.append((bits(size), psnr))
        if points:
            axes.plot(*zip(*points), "--", color=peer_colours[index % len(peer_colours)], label=peer)

    axes.set_xlabel("bits per sample")
    axes.set_ylabel("PSNR (dB, range as peak)")
    axes.set_title(f"{source.stem}: {x.size} samples")
    axes.grid(alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(output, dpi=110)
    print(output)


if __name__ == "__main__":
    main()
