"""Writes README.md's speed figures from the last recorded `make bench` run.

    .venv/bin/python scripts/docs/speed_figures.py

Timings need an idle machine and take minutes, so `make docs` does not time
anything here: `make bench` records its output in docs/data/bench-run.txt
(bench/bench.py --record) and this script shows that run as it was printed,
machine, load and command included.
"""
from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from doc_blocks import ROOT, replace_blocks  # noqa: E402

RUN_FILE = ROOT / "docs" / "data" / "bench-run.txt"


def speed_block(run: str) -> str:
    return ("The last recorded run ([docs/data/bench-run.txt](docs/data/bench-run.txt), "
            "written by `make bench`):\n\n```\n" + run.rstrip("\n") + "\n```\n")


def main() -> int:
    if not RUN_FILE.is_file():
        raise SystemExit(f"{RUN_FILE.relative_to(ROOT)} is missing: run `make bench` first")
    changed = replace_blocks(ROOT / "README.md", {"speed-run": speed_block(RUN_FILE.read_text(encoding="utf-8"))})
    print(f"speed run: {changed} block(s) changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
