"""Evaluation rows agree with compressing by hand; metrics on known cases."""
import math
import subprocess
import sys

import numpy as np
import pytest
import quorvane

from quorvane_tools import OptionChoice, error_metrics, measure
from quorvane_tools.evaluation import format_csv, format_table, grid, pareto_front
from quorvane_tools.metrics import combine

from tools_support import REPOSITORY, require, synthetic_signals

CHIRP = synthetic_signals()["chirp"][:4000]


def test_grid_covers_every_combination_once():
    choices = grid()
    assert len(choices) == 4 * 2 * 7 * 3 == len(set(choices))
    assert grid(methods=["db4"], coders=["deflate"], scales=[9], cutoffs=["high"]) == [
        OptionChoice(method="db4", scale=9, cutoff="high", coder="deflate")]


@pytest.mark.parametrize("choice", grid(methods=["cdf53", "sym4"], scales=[6, 12], cutoffs=["low", "high"]))
def test_a_row_is_what_compressing_by_hand_gives(choice):
    row = measure([CHIRP], choice)
    stream = quorvane.compress_signal(CHIRP, choice.to_quorvane())
    restored = quorvane.decompress_signal(stream).astype(np.float64)
    assert row.stream_bytes == len(stream) and row.sample_count == CHIRP.size
    assert row.ratio == 4 * CHIRP.size / len(stream) and row.bits_per_sample == 8 * len(stream) / CHIRP.size
    assert row.metrics.max_abs_error == float(np.max(np.abs(restored - CHIRP)))
    assert math.isclose(row.metrics.rmse, float(np.sqrt(np.mean((restored - CHIRP) ** 2))), rel_tol=1e-12)
    assert row.compress_mb_per_s > 0 and row.decompress_mb_per_s > 0


def test_several_channels_add_up():
    halves = [CHIRP[:2000], 10 * CHIRP[2000:]]
    row = measure(halves, OptionChoice())
    single = [measure([half], OptionChoice()) for half in halves]
    assert row.stream_bytes == sum(r.stream_bytes for r in single)
    assert row.metrics.max_abs_error == max(r.metrics.max_abs_error for r in single)
    assert row.metrics.peak_to_peak == max(r.metrics.peak_to_peak for r in single)


def test_metrics_of_known_errors():
    metrics = error_metrics([0.0, 1.0, 2.0, 3.0], [0.0, 1.5, 2.0, 2.5])
    assert metrics.max_abs_error == 0.5 and metrics.rmse == math.sqrt(0.125)
    assert math.isclose(metrics.psnr, 20 * math.log10(3 / math.sqrt(0.125)))
    assert math.isinf(error_metrics([1.0, 2.0], [1.0, 2.0]).psnr)
    assert error_metrics([1.0, 1.0], [1.0, 2.0]).psnr == -math.inf
    with pytest.raises(ValueError, match="lengths differ"):
        error_metrics([1.0], [1.0, 2.0])
    assert combine([(metrics, 4), (error_metrics([5.0], [5.0]), 4)]).rmse == math.sqrt(0.0625)


def test_table_csv_and_front():
    rows = [measure([CHIRP], choice) for choice in grid(methods=["cdf97"], coders=["arans"], cutoffs=["low"])]
    table = format_table(rows).splitlines()
    assert len(table) == 8 and table[1].split()[:4] == ["cdf97", "arans", "6", "low"]
    lines = format_csv(rows).splitlines()
    assert lines[0].startswith("method,scale,cutoff,coder,samples,bytes,ratio") and len(lines) == 8
    front = pareto_front(rows)
    sizes = [r.stream_bytes for r in front]
    errors = [r.metrics.rmse for r in front]
    assert sizes == sorted(sizes) and errors == sorted(errors, reverse=True)


def test_the_docs_plot_script_runs(tmp_path):
    require("matplotlib")
    script = REPOSITORY / "scripts" / "plot_rate_distortion.py"
    done = subprocess.run([sys.executable, str(script), "--output", str(tmp_path / "rd.png")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "rd.png").read_bytes()[:4] == b"\x89PNG"
    assert "Pareto front" in done.stdout and "DEFLATE against rANS" in done.stdout
