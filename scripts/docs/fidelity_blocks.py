"""Writes README.md's figures on what NaN and containers cost, measured by
scripts/fidelity_figures.py on the signal corpus, into their generated
blocks (see doc_blocks.py). `make docs` runs it; alone:

    .venv/bin/python scripts/docs/fidelity_blocks.py

Sizes only, from fixed seeds: the same on every machine for the same code.
"""
from __future__ import annotations

import math
import sys
from pathlib import Path
from typing import Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from doc_blocks import ROOT, corpus_dir, replace_blocks  # noqa: E402
from fidelity_figures import MISSING_SHARE, FixedCosts, NanCosts, fixed_costs, load_signals, nan_costs, nan_table  # noqa: E402,E501


def span(values: List[float], form: str) -> str:
    low, high = min(values), max(values)
    return format(low, form) if format(low, form) == format(high, form) else f"{low:{form}} to {high:{form}}"


def nan_notes(rows: List[NanCosts], fixed: FixedCosts) -> str:
    """What the table shows, in the figures of this run."""
    share = MISSING_SHARE
    entropy = -(share * math.log2(share) + (1 - share) * math.log2(1 - share))  # bits per sample
    per_nan = [row.scattered_trailer / row.missing for row in rows]
    stream = [100 * ((row.scattered - row.scattered_trailer) / row.alone - 1) for row in rows]
    per_gap = [row.gaps_trailer / 10 for row in rows]
    return (
        f"Gaps cost less than nothing (fewer samples to code; the trailer takes {span(per_gap, '.0f')} bytes "
        f"per gap). Scattered NaN cost their positions: {span(per_nan, '.2f')} byte per NaN in the trailer, "
        f"against the {entropy / share / 8:.2f} byte ({entropy:.2f} bit per sample) that any record of "
        f"{100 * share:.0f} % random positions needs, while the stream itself differs from the finite "
        f"part's alone by {span(stream, '+.1f')} %. A chunk of 10^6 NaN takes {fixed.all_nan_chunk} bytes; "
        f"a float64 chunk's trailer {fixed.float64_trailer}.\n")


def qrvz_overhead(fixed: FixedCosts) -> str:
    return (f"A one-channel `.qrvz` of the demo ECG ({fixed.demo_samples:,} samples) is "
            f"{fixed.qrvz_bytes - fixed.qrv_bytes} bytes larger than its bare stream.\n")


def main() -> int:
    rows = [nan_costs(name, signal) for name, signal in load_signals(corpus_dir()).items()]
    fixed = fixed_costs()
    bodies: Dict[str, str] = {"nan-costs": nan_table(rows), "nan-notes": nan_notes(rows, fixed),
                              "qrvz-overhead": qrvz_overhead(fixed)}
    changed = replace_blocks(ROOT / "README.md", bodies)
    print(f"fidelity: {len(bodies)} blocks measured, {changed} changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
