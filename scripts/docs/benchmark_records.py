"""Writes the speed, target-encoder, coder-2 and HDF5-filter figures of
README.md and docs/choosing-options.md from the last recorded benchmark runs.

    .venv/bin/python scripts/docs/benchmark_records.py

These benchmarks take minutes and their times need a quiet machine, so
`make docs` does not run them: `make bench` records bench/bench.py in
docs/data/bench-run.txt, `make target-bench` records
scripts/target_benchmark.py in docs/data/target-benchmark.md and
`make band-bench` records band_coder_bench in docs/data/band-coder-bench.txt
and `make hdf5-bench` records hdf5/bench/compare_filters.py in
docs/data/hdf5-filters.md; this script shows what those runs printed.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path
from typing import Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parent))
from doc_blocks import ROOT, replace_blocks  # noqa: E402

SPEED_RUN = ROOT / "docs" / "data" / "bench-run.txt"
TARGET_RUN = ROOT / "docs" / "data" / "target-benchmark.md"
BAND_RUN = ROOT / "docs" / "data" / "band-coder-bench.txt"
HDF5_RUN = ROOT / "docs" / "data" / "hdf5-filters.md"


def read_run(path: Path) -> str:
    if not path.is_file():
        raise SystemExit(f"{path.relative_to(ROOT)} is missing: record the benchmark first (see its docstring)")
    return path.read_text(encoding="utf-8")


def speed_block(run: str) -> str:
    """The `make bench` run as it was printed, machine, load and command included."""
    return ("The last recorded run ([docs/data/bench-run.txt](docs/data/bench-run.txt), "
            "written by `make bench`):\n\n```\n" + run.rstrip("\n") + "\n```\n")


def tables(text: str) -> List[List[str]]:
    """Every Markdown table of `text`, as its lines."""
    found: List[List[str]] = []
    current: List[str] = []
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            current.append(line)
        elif current:
            found.append(current)
            current = []
    return found


def table_rows(table: List[str]) -> Dict[str, Dict[str, str]]:
    """First cell -> {column name: cell} for every data row."""
    header = [cell.strip() for cell in table[0].strip("|").split("|")]
    rows = {}
    for line in table[2:]:
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        rows[cells[0]] = dict(zip(header, cells))
    return rows


def target_tables_block(text: str) -> str:
    """The run's summary tables: all signals, speech alone and encode time (not the per-signal detail)."""
    header = text.splitlines()[0]
    kept = [t for t in tables(text) if not t[0].startswith("| signal |")]
    speech = re.search(r"^Speech signals only \(([^)]*)\)", text, re.MULTILINE)
    parts = [f"Recorded run: {header.lstrip('# ')}\n", "\n".join(kept[0]) + "\n"]
    for table in kept[1:]:
        if "over" in table[0] and speech:
            parts.append(f"The same gains on the corpus's speech signals alone ({speech.group(1)}):\n")
        else:
            parts.append("Encode time of one `compress_to_target` over one default `compress_signal` "
                         "on 10^6 samples (each real signal repeated to that length), median over the signals:\n")
        parts.append("\n".join(table) + "\n")
    return "\n".join(parts)


def target_summary_block(text: str) -> str:
    rows = table_rows(tables(text)[0])

    def gain(label: str, column: str) -> str:
        return rows[label][column]

    abs_gains = " / ".join(gain(f"max error {v} of range", "gain over reference") for v in ("0.01", "0.003", "0.001"))
    psnr_gains = " / ".join(gain(f"PSNR {v} dB", "gain over reference") for v in (50, 60, 70))
    at_60 = rows["PSNR 60 dB"]
    peers = [c[len("bands gain over "):] for c in at_60 if c.startswith("bands gain over ")]
    peer_gains = ", ".join(f"{at_60['bands gain over ' + p]} {p}" for p in peers)
    return (f"Median over the corpus's real signals, against the best reference stream of the whole option "
            f"grid at the same target: {abs_gains} smaller at max error 1e-2 / 3e-3 / 1e-3 of the range, "
            f"{psnr_gains} at PSNR 50 / 60 / 70 dB. With the opt-in coder 2 (`coder=\"bands\"`) its streams "
            f"are a further {at_60['bands over rANS']} smaller at PSNR 60 dB ({peer_gains} against the peers "
            f"in that median). Recorded by `make target-bench`; the full tables are in "
            f"[docs/choosing-options.md](docs/choosing-options.md#smaller-streams-for-the-same-error-the-target-encoder).\n")


def band_figures_block(text: str) -> str:
    medians = re.findall(r"^median ratio at (\d+) dB: ([0-9.]+)", text, re.MULTILINE)
    reference = " / ".join(ratio for _, ratio in medians[:3])
    target = " / ".join(ratio for _, ratio in medians[3:6])
    speed = re.search(r"encode speed ([0-9.]+x), decode speed ([0-9.]+x)", text)
    machine = text.splitlines()[0].lstrip("# ")
    return (f"On the same coefficients it gives {target} of the rANS coder's payload for the target "
            f"encoder's coefficients and {reference} for the reference encoder's (median over the corpus's "
            f"real signals at PSNR 50 / 60 / 70 dB), and encodes {speed.group(1)} and decodes "
            f"{speed.group(2)} as fast as the rANS coder (10^6 samples at the PSNR 60 setting, one thread, "
            f"median of interleaved runs; {machine}).\n")


def hdf5_block(text: str) -> str:
    lines = text.splitlines()
    machine = lines[0].lstrip("# ")
    notes = [line for line in lines[1:] if line and not line.startswith("|")]
    return (f"Figures of the last recorded run (`make hdf5-bench`; {machine}; "
            f"{'; '.join(notes)}; speeds in million samples per second):\n\n" + "\n".join(tables(text)[0]) + "\n")


def main() -> int:
    target_run = read_run(TARGET_RUN)
    band_run = read_run(BAND_RUN)
    hdf5_run = read_run(HDF5_RUN)
    changed = replace_blocks(ROOT / "README.md", {"speed-run": speed_block(read_run(SPEED_RUN)),
                                                  "target-summary": target_summary_block(target_run),
                                                  "band-coder-figures": band_figures_block(band_run),
                                                  "hdf5-filters": hdf5_block(hdf5_run)})
    changed += replace_blocks(ROOT / "docs" / "choosing-options.md",
                              {"target-tables": target_tables_block(target_run)})
    print(f"benchmark records: {changed} block(s) changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
