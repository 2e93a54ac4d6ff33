"""Draws docs/rate-distortion.png from the demo signal that ships in data/.

Every method x cut-off x scale with the rANS coder (the default; DEFLATE
is a few per cent larger at the same error and shown in the table only),
plotted as PSNR and largest error against bits per sample, and prints the
numbers behind docs/choosing-options.md.

    .venv/bin/python scripts/plot_rate_distortion.py            # needs matplotlib
    .venv/bin/python scripts/plot_rate_distortion.py --output /tmp/rd.png --signal other.npy
"""
import argparse
import sys
from pathlib import Path

import numpy as np

from quorvane_tools.evaluation import evaluate, format_table, grid, pareto_front
from quorvane_tools.plotting import plot_rate_distortion
from quorvane_tools.signal_files import atomic_output

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_SIGNAL = ROOT / "data" / "demo_signal.npy"
DEFAULT_OUTPUT = ROOT / "docs" / "rate-distortion.png"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signal", type=Path, default=DEFAULT_SIGNAL)
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT)
    args = parser.parse_args()

    signal = np.load(args.signal)
    name = args.signal.name
    rows = evaluate([signal], grid(coders=["arans"]), repeat=1)
    with atomic_output(args.output) as temporary:
        plot_rate_distortion(rows, temporary, image_format=args.output.suffix.lstrip(".") or "png",
                             title=f"{name}: {signal.size} samples, rANS coder")
    print(f"wrote {args.output}")

    print("\nrANS, every combination:")
    sys.stdout.write(format_table(rows))
    print("\nsmallest stream for each error level (Pareto front on RMSE):")
    sys.stdout.write(format_table(pareto_front(rows)))
    deflate = evaluate([signal], grid(coders=["deflate"], cutoffs=["low"]), repeat=1)
    arans = {(r.choice.method, r.choice.scale): r.stream_bytes for r in rows if r.choice.cutoff == "low"}
    growth = [r.stream_bytes / arans[(r.choice.method, r.choice.scale)] - 1 for r in deflate]
    print(f"\nDEFLATE against rANS at cut-off low: {100 * min(growth):+.1f}% to {100 * max(growth):+.1f}% bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
