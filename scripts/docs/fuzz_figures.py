"""Writes README.md's table of fuzzing runs from docs/data/fuzz-runs.txt.

    .venv/bin/python scripts/docs/fuzz_figures.py

Fuzzing takes hours, so `make docs` does not fuzz: `make fuzz` (or
`make fuzz-run-TARGET`) appends each run to the data file, and this script
shows the latest line of every target.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from doc_blocks import ROOT, markdown_table, replace_blocks  # noqa: E402
from record_fuzz_run import RUNS_FILE, read_runs  # noqa: E402


def grouped(number: str) -> str:
    """4832595 -> "4 832 595", as the rest of the README writes large counts."""
    return f"{int(number):,}".replace(",", " ") if number.isdigit() else number


def latest_per_target(runs: List[Dict[str, str]]) -> List[Dict[str, str]]:
    """The last run of each target, targets in the order they first appear."""
    latest: Dict[str, Dict[str, str]] = {}
    for run in runs:
        latest[run["target"]] = run  # a key assigned again keeps its first place
    return list(latest.values())


def fuzz_block(runs: List[Dict[str, str]]) -> str:
    rows = []
    for run in latest_per_target(runs):
        peak = f"{run['peak_mb']} MB" if run["peak_mb"] != "-" else "-"
        result = run["result"] + (f" ({run['note']})" if run["note"] != "-" else "")
        rows.append([f"`fuzz_{run['target']}`", run["seconds"], grouped(run["runs"]), peak, run["at_once"],
                     result, run["date"], run["compiler"], run["commit"]])
    intro = (f"The latest recorded run of each target ({len(runs)} runs in "
             f"[{RUNS_FILE.relative_to(ROOT)}]({RUNS_FILE.relative_to(ROOT)}), which `make fuzz` "
             f"appends to; \"at once\": targets fuzzed side by side on the machine):\n\n")
    return intro + markdown_table(
        ["target", "seconds", "executions", "peak memory", "at once", "result", "date", "compiler", "commit"], rows)


def main() -> int:
    changed = replace_blocks(ROOT / "README.md", {"fuzz-runs": fuzz_block(read_runs())})
    print(f"fuzz runs: {changed} block(s) changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
