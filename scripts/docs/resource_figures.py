"""Writes README.md's table of what hostile streams cost decompress_signal,
from a run of tests/python/test_resource_bounds.py (each case in its own
interpreter; the test asserts the bounds, this script shows the figures).
`make docs` runs it; alone:

    .venv/bin/python scripts/docs/resource_figures.py
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parent))
from doc_blocks import ROOT, machine_note, markdown_table, replace_blocks  # noqa: E402

TEST = "tests/python/test_resource_bounds.py"
MIB = 2**20
# What each case of the test feeds the decoder, in table order.
CASES: Dict[str, str] = {
    "huge-count-deflate": "2^31 - 1 samples, 10 levels, DEFLATE payload of 8 bytes",
    "huge-count-arans": "2^31 - 1 samples, 10 levels, rANS payload declaring 2^28 pairs",
    "arans-2p28-pairs": "rANS payload declaring 2^28 pairs from two 4-byte planes",
    "deflate-bomb-1000": "DEFLATE bomb (512 MiB of zeros) behind a 1000-sample header",
    "deflate-bomb-1048576": "the same bomb behind a 2^20-sample header",
    "arans-oversized-payload": "valid rANS payload of 2^22 pairs behind a 1000-sample header",
    "noise-deflate": "16 MiB of noise as a DEFLATE payload behind a 2^31 - 1-sample header",
    "huge-count-bands": "2^31 - 1 samples, 10 levels, coder-2 payload of the initial state alone",
    "huge-count-bands-one-word": "2^31 - 1 samples, 10 levels, coder-2 payload of the highest state and one word",
    "bands-zeros": "coder-2 payload of 2^20 zero coefficients behind a 2^20-sample header",
    "bands-exact-payload": "coder-2 payload coding exactly the 1000 samples of its header",
    "bands-oversized-payload": "the same payload followed by 4 MiB",
}


def count(number: int) -> str:
    """Powers of two as the prose writes them (2^20), other counts as they are."""
    return f"2^{number.bit_length() - 1}" if number >= 1024 and number & (number - 1) == 0 else str(number)


def milliseconds(seconds: float) -> str:
    ms = 1000 * seconds
    return "< 0.1 ms" if ms < 0.1 else f"{ms:.1f} ms" if ms < 10 else f"{ms:.0f} ms"


def row(report: Dict[str, object]) -> List[str]:
    outcome = str(report["outcome"])
    shown = f"{count(int(outcome.split(': ')[1]))} samples" if outcome.startswith("samples: ") \
        else outcome.split(":")[0]
    return [CASES.get(str(report["name"]), str(report["name"])), f"{int(report['bytes']):,}".replace(",", " "),
            f"{shown}, {milliseconds(float(report['seconds']))}", f"{int(report['peak_extra']) / MIB:.1f} MiB"]


def measure() -> List[Dict[str, object]]:
    with tempfile.TemporaryDirectory() as directory:
        figures = Path(directory) / "figures.jsonl"
        env = dict(os.environ, QUORVANE_RESOURCE_FIGURES=str(figures))
        done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", TEST],
                              cwd=ROOT, env=env, capture_output=True, text=True)
        if done.returncode != 0 or not figures.exists():
            raise SystemExit(f"{TEST} failed; no figures written:\n{done.stdout[-3000:]}{done.stderr[-2000:]}")
        reports = [json.loads(line) for line in figures.read_text().splitlines()]
    order = list(CASES)
    return sorted(reports, key=lambda r: order.index(r["name"]) if r["name"] in order else len(order))


def resource_block(reports: List[Dict[str, object]]) -> str:
    return (markdown_table(["Stream", "Bytes", "Outcome", "Peak growth"], [row(report) for report in reports])
            + f"\n({machine_note()}.)\n")


def main() -> int:
    changed = replace_blocks(ROOT / "README.md", {"resource-bounds": resource_block(measure())})
    print(f"resource bounds: {changed} block(s) changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
