"""Generated blocks inside README.md and docs/*.md.

A block is the text between

    <!-- generated: NAME (SCRIPT) -->
    ...
    <!-- end: NAME -->

and is rewritten as a whole by the script named in its opening marker, so
that every figure in the prose comes from a measurement in the repository
and `make docs` brings all of them up to date at once. Text outside the
blocks is left alone.
"""
from __future__ import annotations

import os
import platform
import re
from pathlib import Path
from typing import Dict

ROOT = Path(__file__).resolve().parents[2]
_BLOCK = re.compile(r"(<!-- generated: (?P<name>[\w.-]+) \((?P<script>[^)]*)\) -->\n)(?P<body>.*?)(<!-- end: (?P=name) -->)",
                    re.DOTALL)


def corpus_dir() -> Path:
    """The shared signal corpus: $QUORVANE_CORPUS, else shared/corpus beside
    the repository. Missing, it stops the run: figures of stand-in signals
    would quietly replace the documented ones."""
    configured = os.environ.get("QUORVANE_CORPUS")
    candidates = [Path(configured)] if configured else []
    candidates += [ROOT.parent / "shared" / "corpus", ROOT.parent.parent / "shared" / "corpus"]
    for candidate in candidates:
        if (candidate / "manifest.json").is_file():
            return candidate
    raise SystemExit("the signal corpus was not found: set QUORVANE_CORPUS to its directory")


def machine_note() -> str:
    """The machine and its load, said beside every timing."""
    load = os.getloadavg()[0]
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{os.cpu_count()} cores ({model}), {platform.system()} {platform.machine()}, "
            f"Python {platform.python_version()}, load average {load:.1f} while measuring")


def blocks_in(text: str) -> Dict[str, str]:
    """Name -> body of every generated block of `text`."""
    return {match.group("name"): match.group("body") for match in _BLOCK.finditer(text)}


def replace_blocks(path: Path, bodies: Dict[str, str]) -> int:
    """Rewrites the blocks of `path` named in `bodies`; returns how many changed.

    A name with no block in the file is an error: the prose and the script
    would have drifted apart without anyone noticing.
    """
    text = path.read_text(encoding="utf-8")
    present = blocks_in(text)
    missing = sorted(set(bodies) - set(present))
    if missing:
        raise KeyError(f"{path}: no generated block named {', '.join(missing)}")

    def substitute(match: "re.Match[str]") -> str:
        name = match.group("name")
        if name not in bodies:
            return match.group(0)
        body = bodies[name]
        if body and not body.endswith("\n"):
            body += "\n"
        return f"{match.group(1)}{body}{match.group(5)}"

    updated = _BLOCK.sub(substitute, text)
    changed = sum(1 for name, body in bodies.items() if present[name].rstrip("\n") != body.rstrip("\n"))
    if updated != text:
        path.write_text(updated, encoding="utf-8")
    return changed


def markdown_table(header: "list[str]", rows: "list[list[str]]") -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    # `make band-bench` heads its record with this line.
    import time
    print(f"# {machine_note()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
