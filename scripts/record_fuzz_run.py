"""Appends one fuzzing run to docs/data/fuzz-runs.txt, from libFuzzer's log.

`make fuzz-run-TARGET` (and so `make fuzz`) calls it after each target:

    python3 scripts/record_fuzz_run.py --target decompress --log tests/fuzz/artifacts/decompress.log \
        --status 0 --seconds 1802 --at-once 1 --build build-fuzz

The log must come from a run with -print_final_stats=1: the executions and
peak memory are read from its `stat::` lines, the fuzzing time from its
"Done N runs in S second(s)" line (the wall time given with --seconds when
the run ended early), and what was found from the sanitizer's or
libFuzzer's ERROR line. `make docs` (scripts/docs/fuzz_figures.py) shows
the latest run of each target in README.md. Standard library only: it runs
with the system Python, before any virtualenv exists.
"""
from __future__ import annotations

import argparse
import datetime
import fcntl
import re
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional

ROOT = Path(__file__).resolve().parents[1]
RUNS_FILE = ROOT / "docs" / "data" / "fuzz-runs.txt"
FIELDS = ["target", "seconds", "runs", "result", "date", "compiler", "commit", "peak_mb", "at_once", "note"]
SEPARATOR = " | "
HEADER = f"""\
# Fuzzing runs: one line a run, appended by `make fuzz` and `make fuzz-run-TARGET`
# (scripts/record_fuzz_run.py); `make docs` shows the latest line of each target
# in README.md (scripts/docs/fuzz_figures.py). Fields, separated by "{SEPARATOR.strip()}":
# {SEPARATOR.join(FIELDS)}
# seconds: time fuzzed; runs: inputs executed; result: "nothing found" or what
# the sanitizer or libFuzzer reported; date: UTC day the run ended; commit: the
# source fuzzed (+dirty when it had uncommitted changes); peak_mb: libFuzzer's
# peak resident memory; at_once: targets fuzzed side by side on the machine;
# "-": not recorded.
"""


def parse_log(text: str, status: int, wall_seconds: int) -> Dict[str, str]:
    """The figures of one libFuzzer log with final stats."""
    stats = dict(re.findall(r"^stat::(\w+):\s*(\S+)", text, re.MULTILINE))
    done = re.search(r"^Done (\d+) runs in (\d+) second", text, re.MULTILINE)
    runs = stats.get("number_of_executed_units") or (done.group(1) if done else "-")
    seconds = done.group(2) if done else str(wall_seconds)
    if status == 0:
        result = "nothing found"
    else:
        error = re.search(r"^==\d+==\s*ERROR: (.+)$", text, re.MULTILINE) \
            or re.search(r"^SUMMARY: (.+)$", text, re.MULTILINE)
        reason = error.group(1).strip() if error else f"exit status {status}"
        artifact = re.search(r"Test unit written to (\S+)", text)
        result = f"FOUND: {reason}" + (f" ({artifact.group(1)})" if artifact else "")
    return {"seconds": seconds, "runs": runs, "result": result,
            "peak_mb": stats.get("peak_rss_mb", "-")}


def compiler_of(build: Path) -> str:
    """First line of `--version` of the C++ compiler the fuzz build was configured with."""
    try:
        cache = (build / "CMakeCache.txt").read_text(encoding="utf-8", errors="replace")
        found = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache, re.MULTILINE)
        if found is None:
            return "-"
        done = subprocess.run([found.group(1).strip(), "--version"], capture_output=True, text=True, timeout=30)
        return done.stdout.splitlines()[0].strip() if done.stdout else "-"
    except (OSError, subprocess.SubprocessError):
        return "-"


def source_commit() -> str:
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                               capture_output=True, text=True, check=True).stdout.strip()
        return commit + ("+dirty" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "-"


def format_line(record: Dict[str, str]) -> str:
    # The separator cannot stand inside a field (a sanitizer's message might hold one).
    return SEPARATOR.join((record.get(field) or "-").replace(SEPARATOR.strip(), "/") for field in FIELDS)


def read_runs(path: Path = RUNS_FILE) -> List[Dict[str, str]]:
    """Every recorded run, oldest first; a line with too few fields is an error."""
    runs = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        values = [value.strip() for value in line.split(SEPARATOR.strip())]
        if len(values) < FIELDS.index("commit") + 1 or len(values) > len(FIELDS):
            raise ValueError(f"{path}:{number}: {len(values)} fields, expected {len(FIELDS)} ({', '.join(FIELDS)})")
        runs.append(dict(zip(FIELDS, values + ["-"] * (len(FIELDS) - len(values)))))
    return runs


def append_run(record: Dict[str, str], path: Path = RUNS_FILE) -> None:
    """Appends under a lock: `make fuzz` runs several targets at once."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a+", encoding="utf-8") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        handle.seek(0)
        if not handle.read(1):
            handle.write(HEADER)
        handle.write(format_line(record) + "\n")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Append a libFuzzer run to " + str(RUNS_FILE.relative_to(ROOT)))
    parser.add_argument("--target", required=True)
    parser.add_argument("--log", type=Path, required=True)
    parser.add_argument("--status", type=int, required=True, help="the fuzzer's exit status")
    parser.add_argument("--seconds", type=int, default=0, help="wall time of the run")
    parser.add_argument("--at-once", default="1", help="targets fuzzed side by side")
    parser.add_argument("--build", type=Path, default=ROOT / "build-fuzz")
    parser.add_argument("--file", type=Path, default=RUNS_FILE)
    args = parser.parse_args(argv)
    text = args.log.read_text(encoding="utf-8", errors="replace")
    record = parse_log(text, args.status, args.seconds)
    record.update(target=args.target, date=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"),
                  compiler=compiler_of(args.build), commit=source_commit(), at_once=str(args.at_once), note="-")
    append_run(record, args.file)
    print(f"recorded in {args.file}: {format_line(record)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
