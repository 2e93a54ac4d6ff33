"""Runs the figure scripts of other parts of the project that print
markdown tables, and puts each table into its generated block, so that
`make docs` refreshes them with everything else.

    .venv/bin/python scripts/docs/other_figures.py

A script listed here that does not exist is skipped; a block is written
only where the file has it.
"""
from __future__ import annotations

import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
from doc_blocks import ROOT, blocks_in, replace_blocks  # noqa: E402

# (script, block name, document): the first markdown table the script prints goes into the block.
# (The NaN-cost table moved to fidelity_blocks.py, which writes its prose too.)
TABLES: List[Tuple[str, str, str]] = []


def first_table(text: str) -> str:
    lines: List[str] = []
    for line in text.splitlines():
        if line.startswith("|"):
            lines.append(line)
        elif lines:
            break
    return "\n".join(lines) + "\n" if lines else ""


def main() -> int:
    updates: Dict[str, Dict[str, str]] = {}
    for script, block, document in TABLES:
        path = ROOT / script
        if not path.is_file() or block not in blocks_in((ROOT / document).read_text(encoding="utf-8")):
            print(f"{script}: skipped (no script or no block {block} in {document})", file=sys.stderr)
            continue
        done = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, check=True, cwd=ROOT)
        table = first_table(done.stdout)
        if not table:
            raise SystemExit(f"{script} printed no markdown table")
        updates.setdefault(document, {})[block] = table
    changed = sum(replace_blocks(ROOT / document, bodies) for document, bodies in updates.items())
    print(f"{sum(len(bodies) for bodies in updates.values())} tables measured, {changed} changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
