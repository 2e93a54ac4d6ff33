"""The figures `make docs` cannot measure itself: fuzzing runs recorded by
`make fuzz` and rendered from docs/data/fuzz-runs.txt, and the formatting
of the resource-bounds and NaN-cost figures."""
import os
import shutil
import stat
import subprocess
import sys

import pytest

from tools_support import REPOSITORY

sys.path.insert(0, str(REPOSITORY / "scripts"))
sys.path.insert(0, str(REPOSITORY / "scripts" / "docs"))
import benchmark_records  # noqa: E402
import fuzz_figures  # noqa: E402
import record_fuzz_run  # noqa: E402
import resource_figures  # noqa: E402
from fidelity_blocks import span  # noqa: E402

CLEAN_LOG = """\
INFO: Seed: 1234
#222492 DONE   cov: 812 ft: 2950 corp: 301/40Kb lim: 4096 exec/s: 37082 rss: 205Mb
Done 222492 runs in 1801 second(s)
stat::number_of_executed_units: 222492
stat::average_exec_per_sec:     37082
stat::new_units_added:          290
stat::slowest_unit_time_sec:    0
stat::peak_rss_mb:              205
"""
CRASH_LOG = """\
INFO: Seed: 99
==4242==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x602000000011
SUMMARY: AddressSanitizer: heap-buffer-overflow codec/src/decompressor.cc:88
MS: 1 ChangeBit-; base unit: 0
artifact_prefix='tests/fuzz/artifacts/decompress-'; Test unit written to tests/fuzz/artifacts/decompress-crash-ab12
"""


@pytest.mark.parametrize(
    "log,status,expected",
    [
        (CLEAN_LOG, 0, {"seconds": "1801", "runs": "222492", "result": "nothing found", "peak_mb": "205"}),
        # Killed before libFuzzer could print anything: the wall time stands in.
        ("INFO: Seed: 1\n", 137, {"seconds": "42", "runs": "-", "result": "FOUND: exit status 137", "peak_mb": "-"}),
        (CRASH_LOG, 1, {"seconds": "42", "runs": "-", "peak_mb": "-",
                        "result": "FOUND: AddressSanitizer: heap-buffer-overflow on address 0x602000000011 "
                                  "(tests/fuzz/artifacts/decompress-crash-ab12)"}),
        ("==7== ERROR: libFuzzer: out-of-memory (used: 2100Mb; exceeds: 2048Mb)\n", 1,
         {"seconds": "42", "runs": "-", "peak_mb": "-",
          "result": "FOUND: libFuzzer: out-of-memory (used: 2100Mb; exceeds: 2048Mb)"}),
    ],
)
def test_fuzz_log_figures(log, status, expected):
    assert record_fuzz_run.parse_log(log, status, wall_seconds=42) == expected


def test_fuzz_runs_file_round_trip_and_latest_run_per_target(tmp_path):
    runs = tmp_path / "runs.txt"
    base = dict(result="nothing found", date="2026-12-09", compiler="clang 14.0.6", commit="abc1234",
                peak_mb="205", at_once="2")
    record_fuzz_run.append_run(dict(base, target="decompress", seconds="630", runs="4832595"), runs)
    record_fuzz_run.append_run(dict(base, target="round_trip", seconds="630", runs="71553"), runs)
    record_fuzz_run.append_run(dict(base, target="decompress", seconds="1800", runs="9000000",
                                    result="FOUND: a | b"), runs)
    text = runs.read_text()
    assert text.count("# Fuzzing runs") == 1  # the explanation is written once, at the top
    assert sum(not line.startswith("#") for line in text.splitlines()) == 3
    recorded = record_fuzz_run.read_runs(runs)
    assert [run["runs"] for run in recorded] == ["4832595", "71553", "9000000"]
    assert recorded[2]["note"] == "-"  # optional field left empty
    latest = fuzz_figures.latest_per_target(recorded)
    assert [(run["target"], run["seconds"]) for run in latest] == [("decompress", "1800"), ("round_trip", "630")]
    block = fuzz_figures.fuzz_block(recorded)
    assert "| `fuzz_decompress` | 1800 | 9 000 000 | 205 MB | 2 |" in block
    assert "FOUND: a / b" in block  # the separator cannot appear inside a field


def test_fuzz_runs_file_refuses_a_line_with_missing_fields(tmp_path):
    runs = tmp_path / "runs.txt"
    runs.write_text("# comment\ndecompress | 600 | 10\n")
    with pytest.raises(ValueError, match=r"runs.txt:2: 3 fields"):
        record_fuzz_run.read_runs(runs)


def test_committed_fuzz_runs_parse():
    runs = record_fuzz_run.read_runs()
    assert runs and all(run["target"] and run["runs"] for run in runs)


@pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")
def test_make_fuzz_run_records_the_run(tmp_path):
    # A stand-in fuzzer that prints what libFuzzer prints with final stats.
    fuzzer = tmp_path / "tests" / "fuzz" / "fuzz_standin"
    fuzzer.parent.mkdir(parents=True)
    fuzzer.write_text("#!/bin/sh\ncat <<'END'\n" + CLEAN_LOG + "END\n")
    fuzzer.chmod(fuzzer.stat().st_mode | stat.S_IEXEC)
    runs = tmp_path / "runs.txt"
    done = subprocess.run(["make", "-s", "fuzz-run-standin", f"FUZZ_BUILD={tmp_path}", f"FUZZ_RUNS={runs}",
                           f"FUZZ_ARTIFACTS={tmp_path / 'artifacts'}", "FUZZ_AT_ONCE=3", f"PYTHON={sys.executable}"],
                          cwd=REPOSITORY, capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, MAKEFLAGS=""))
    assert done.returncode == 0, done.stdout + done.stderr
    (run,) = record_fuzz_run.read_runs(runs)
    assert run["target"] == "standin" and run["runs"] == "222492" and run["seconds"] == "1801"
    assert run["at_once"] == "3" and run["result"] == "nothing found" and run["commit"] != "-"
    assert (tmp_path / "artifacts" / "standin.log").read_text() == CLEAN_LOG


@pytest.mark.parametrize(
    "report,expected",
    [
        ({"name": "deflate-bomb-1048576", "bytes": 521878, "outcome": "samples: 1048576", "seconds": 0.0351,
          "peak_extra": 17_000_000},
         ["the same bomb behind a 2^20-sample header", "521 878", "2^20 samples, 35 ms", "16.2 MiB"]),
        ({"name": "huge-count-deflate", "bytes": 60, "outcome": "ValueError: Can't decompress data, reason: x",
          "seconds": 0.00003, "peak_extra": 100_000},
         ["2^31 - 1 samples, 10 levels, DEFLATE payload of 8 bytes", "60", "ValueError, < 0.1 ms", "0.1 MiB"]),
        ({"name": "a-new-case", "bytes": 1000, "outcome": "samples: 1000", "seconds": 0.0042, "peak_extra": 0},
         ["a-new-case", "1 000", "1000 samples, 4.2 ms", "0.0 MiB"]),
    ],
)
def test_resource_rows(report, expected):
    assert resource_figures.row(report) == expected


def test_every_resource_case_has_its_description():
    cases = (REPOSITORY / "tests" / "python" / "test_resource_bounds.py").read_text()
    for name in resource_figures.CASES:
        stem = name.rsplit("-", 1)[0] if name.startswith("deflate-bomb-") else name
        assert f'"{stem}' in cases, f"{name} is no case of the test any more"


@pytest.mark.parametrize(
    "values,form,expected",
    [([0.77, 0.9, 0.81], ".2f", "0.77 to 0.90"), ([5.04, 4.96], ".0f", "5"), ([-3.3, 10.5], "+.1f", "-3.3 to +10.5")],
)
def test_spans_of_figures(values, form, expected):
    assert span(values, form) == expected


TARGET_RECORD = """\
# 2 cores (CPU), Linux x86_64, load average 0.9 while measuring, 2026-12-09 00:40 UTC, scripts/target_benchmark.py --speed

| target | reference met | target met | gain over reference | encode s | gain over FLAC | bands over rANS | bands gain over FLAC |
|---|---|---|---|---|---|---|---|
| max error 0.01 of range | 11/11 | 11/11 | 1.46x | 0.3 | 0.89x | 1.49x | 1.36x |
| max error 0.003 of range | 11/11 | 11/11 | 1.36x | 0.2 | 0.79x | 1.37x | 0.98x |
| max error 0.001 of range | 7/11 | 11/11 | 1.21x | 0.2 | 0.80x | 1.29x | 0.94x |
| PSNR 50 dB | 11/11 | 11/11 | 1.29x | 0.1 | 0.96x | 1.51x | 1.46x |
| PSNR 60 dB | 11/11 | 11/11 | 1.24x | 0.1 | 0.89x | 1.36x | 1.09x |
| PSNR 70 dB | 11/11 | 11/11 | 1.18x | 0.1 | 0.87x | 1.26x | 1.06x |

Speech signals only (a, b): median gain of the target encoder over each peer

| target | rANS over FLAC | bands over FLAC |
|---|---|---|
| PSNR 60 dB | 1.41x | 1.93x |

| signal | target | reference bytes |
|---|---|---|
| a | PSNR 60 dB | 123 |

| target | compress_to_target / compress_signal on 10^6 samples (median over signals) |
|---|---|
| PSNR 60 dB | 11.9x |
"""

BAND_RECORD = """\
# 2 cores (CPU), Linux x86_64, load average 0.2 while measuring, 2026-12-09 00:50 UTC
median ratio at 50 dB: 0.707 over 11 signals
median ratio at 60 dB: 0.786 over 11 signals
median ratio at 70 dB: 0.854 over 11 signals
median ratio at 50 dB: 0.659 over 11 signals
median ratio at 60 dB: 0.733 over 11 signals
median ratio at 70 dB: 0.780 over 11 signals
coder 2 / coder 1: size 0.766, encode speed 1.46x, decode speed 2.10x
"""


def test_target_record_renders_the_summary_and_every_table_but_the_detail():
    summary = benchmark_records.target_summary_block(TARGET_RECORD)
    assert "1.46x / 1.36x / 1.21x smaller at max error" in summary
    assert "1.29x / 1.24x / 1.18x at PSNR 50 / 60 / 70 dB" in summary
    assert "a further 1.36x smaller at PSNR 60 dB (1.09x FLAC against the peers" in summary
    tables = benchmark_records.target_tables_block(TARGET_RECORD)
    assert "load average 0.9" in tables and "speech signals alone (a, b)" in tables
    assert "| PSNR 60 dB | 1.41x | 1.93x |" in tables and "| PSNR 60 dB | 11.9x |" in tables
    assert "reference bytes" not in tables


def test_band_record_renders_target_then_reference_medians_and_speeds():
    text = benchmark_records.band_figures_block(BAND_RECORD)
    assert "0.659 / 0.733 / 0.780 of the rANS coder's payload for the target" in text
    assert "0.707 / 0.786 / 0.854 for the reference encoder's" in text
    assert "encodes 1.46x and decodes 2.10x as fast" in text and "load average 0.2" in text
